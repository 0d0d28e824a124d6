// pipeline.cpp - a stream's blocks coded on several threads.
//
// The blocks of a stream are independent, so a stream opened while more
// than one thread is allowed codes them in groups: a group of blocks is
// packed or unpacked by the coding threads, one codec each, while the
// stream's own thread fills the next group (writing) or hands out the one
// before (reading). All file transfers stay on the stream's thread and in
// record order, so the file is the one a single thread writes, byte for
// byte, and reads go through the same reads.
//
// A fatal report on a coding thread, or while a record is read ahead, is
// kept with its block and given when that block's turn comes: what a single
// thread would have written or handed out before the failure still is, and
// the report is the same.
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "lzx/codec.h"
#include "lzx/pipeline.h"

namespace {

int Threads = 1;
constexpr int SlotsPerThread = 8;

struct BlockFailure {
    std::string text;
};

[[noreturn]] void ThrowFailure(const char* text) {
    throw BlockFailure{text};
}

struct BlockSlot {
    std::uint8_t data[HileBlockSize];
    std::uint8_t record[Codec::MaxRecordSize];
    int size = 0;
    std::string failure;  // empty: none
};

struct Group;

struct Worker {
    Group* group = nullptr;
    std::unique_ptr<Codec> codec;
    OsHandle thread = 0;
};

struct Group {
    std::vector<std::unique_ptr<BlockSlot>> slots;
    int count = 0;  // slots in use
    int next = 0;   // reading: the next slot to hand out
    bool running = false;
    bool pack = false;
    int flags = 0;
    std::atomic<int> claimed{0};
};

// Codes the slots of a group until none is left; the codec of the worker.
void Work(void* context) {
    auto* worker = static_cast<Worker*>(context);
    Group& group = *worker->group;
    SetThreadFatalTrap(ThrowFailure);
    for (;;) {
        const int i = group.claimed.fetch_add(1);
        if (i >= group.count)
            break;
        BlockSlot& slot = *group.slots[static_cast<std::size_t>(i)];
        if (!slot.failure.empty())
            continue;
        try {
            if (group.pack)
                slot.size = worker->codec->EncodeBlock(slot.data, group.flags, slot.record);
            else
                worker->codec->DecodeBlock(slot.record, slot.size, slot.data, group.flags);
        } catch (const BlockFailure& failure) {
            slot.failure = failure.text.empty() ? "?" : failure.text;
        }
    }
    SetThreadFatalTrap(nullptr);
}

}  // namespace

struct HileBatch {
    std::vector<Worker> workers;
    Group groups[2];
    int current = 0;                // the group being filled or handed out
    std::int64_t readAhead = -1;    // reading: stream offset of the next block to read; -1 not started
};

namespace {

void Launch(HileBatch* batch, Group& group) {
    group.claimed = 0;
    group.running = true;
    for (Worker& worker : batch->workers) {
        worker.group = &group;
        worker.thread = OsThreadStart(Work, &worker);
        if (worker.thread == 0)
            Work(&worker);  // no thread to be had: this one does the work
    }
}

void Join(HileBatch* batch, Group& group) {
    if (!group.running)
        return;
    for (Worker& worker : batch->workers) {
        if (worker.thread != 0)
            OsThreadJoin(worker.thread);
        worker.thread = 0;
    }
    group.running = false;
}

// Writing: waits for a packed group and writes its records in order, each
// with its index entry, as Hflus does.
void WriteGroup(HILE* stream, Group& group) {
    Join(stream->batch, group);
    for (int i = 0; i < group.count; ++i) {
        BlockSlot& slot = *group.slots[static_cast<std::size_t>(i)];
        if (!slot.failure.empty())
            FatalMessage("%s", slot.failure.c_str());
        std::uint8_t offset[4];
        Store32(offset, static_cast<std::uint32_t>(DoFtell(&stream->main)));
        DoFwrite(offset, 4, &stream->side);
        DoFwrite(slot.record, slot.size, &stream->main);
        HileReportProgress(stream);
    }
    group.count = 0;
}

// Reading: reads the records of the next blocks that the stream's length
// promises into a group's slots, as Hfill would read them one by one, and
// starts their decoding.
void ReadAhead(HILE* stream, Group& group) {
    HileBatch* batch = stream->batch;
    group.count = 0;
    group.next = 0;
    SetThreadFatalTrap(ThrowFailure);
    while (group.count < static_cast<int>(group.slots.size()) && batch->readAhead < stream->header.totalLength) {
        BlockSlot& slot = *group.slots[static_cast<std::size_t>(group.count++)];
        slot.failure.clear();
        batch->readAhead += HileBlockSize;
        try {
            if (DoFtell(&stream->main) >= stream->header.indexOffset)
                FatalMessage("Hfill: block missing in [%s]", stream->name);
            slot.size = ReadRecordBytes(&stream->main, stream->header.flags, slot.record);
        } catch (const BlockFailure& failure) {
            slot.failure = failure.text.empty() ? "?" : failure.text;
            batch->readAhead = stream->header.totalLength;  // nothing behind it is read
        }
    }
    SetThreadFatalTrap(nullptr);
    group.flags = stream->header.flags;
    if (group.count > 0)
        Launch(batch, group);
}

}  // namespace

void HileSetThreads(int threads) {
    Threads = threads < 1 ? 1 : threads;
}

int HileThreads() {
    return Threads;
}

HileBatch* BatchCreate(bool write) {
    if (Threads <= 1)
        return nullptr;
    auto* batch = new (std::nothrow) HileBatch;
    if (batch == nullptr)
        return nullptr;
    batch->workers.resize(static_cast<std::size_t>(Threads));
    for (Worker& worker : batch->workers)
        worker.codec.reset(new (std::nothrow) Codec);
    for (Group& group : batch->groups) {
        group.pack = write;
        for (int i = 0; i < Threads * SlotsPerThread; ++i)
            group.slots.emplace_back(new (std::nothrow) BlockSlot);
    }
    // Short of memory: the stream goes on with its one thread.
    bool complete = true;
    for (Worker& worker : batch->workers)
        complete = complete && worker.codec != nullptr;
    for (Group& group : batch->groups) {
        for (auto& slot : group.slots)
            complete = complete && slot != nullptr;
    }
    if (!complete) {
        delete batch;
        return nullptr;
    }
    return batch;
}

void BatchDestroy(HileBatch* batch) {
    if (batch == nullptr)
        return;
    for (Group& group : batch->groups)
        Join(batch, group);
    delete batch;
}

void BatchPut(HILE* stream) {
    HileBatch* batch = stream->batch;
    Group& group = batch->groups[batch->current];
    group.flags = stream->header.flags;
    std::memcpy(group.slots[static_cast<std::size_t>(group.count++)]->data, stream->buffer, HileBlockSize);
    if (group.count < static_cast<int>(group.slots.size()))
        return;
    WriteGroup(stream, batch->groups[1 - batch->current]);
    Launch(batch, group);
    batch->current = 1 - batch->current;
}

void BatchFlush(HILE* stream) {
    HileBatch* batch = stream->batch;
    WriteGroup(stream, batch->groups[1 - batch->current]);
    Group& group = batch->groups[batch->current];
    if (group.count > 0) {
        Launch(batch, group);
        WriteGroup(stream, group);
    }
}

bool BatchFill(HILE* stream) {
    HileBatch* batch = stream->batch;
    Group* group = &batch->groups[batch->current];
    if (group->next >= group->count) {
        Group& other = batch->groups[1 - batch->current];
        if (batch->readAhead < 0) {
            batch->readAhead = static_cast<std::int64_t>(stream->base) + HileBlockSize;
            ReadAhead(stream, other);
        }
        Join(batch, other);
        group->count = 0;
        group->next = 0;
        batch->current = 1 - batch->current;
        group = &other;
        // The next group is read and decoded while this one is handed out.
        ReadAhead(stream, batch->groups[1 - batch->current]);
    }
    if (group->next >= group->count)
        return false;
    BlockSlot& slot = *group->slots[static_cast<std::size_t>(group->next++)];
    if (!slot.failure.empty())
        FatalMessage("%s", slot.failure.c_str());
    std::memcpy(stream->buffer, slot.data, HileBlockSize);
    return true;
}

void BatchDrop(HILE* stream) {
    HileBatch* batch = stream->batch;
    for (Group& group : batch->groups) {
        Join(batch, group);
        group.count = 0;
        group.next = 0;
    }
    batch->readAhead = -1;
}
