// pipeline.cpp - a stream's blocks coded on several threads.
//
// The blocks of a stream are independent, so a stream opened while more
// than one thread is allowed codes them in groups: a group of blocks is
// packed or unpacked by the coding threads (the codec's crew, crew.h, the
// engine of the C interface's threaded calls too), one codec each, while the
// stream's own thread fills the next group (writing) or hands out the one
// before (reading). All file transfers stay on the stream's thread and in
// record order, so the file is the one a single thread writes, byte for
// byte, and reads go through the same reads.
//
// A block that fails on a coding thread keeps its report with it, given
// when that block's turn comes; a record that cannot be read ahead ends the
// read-ahead, and the stream's thread reads it itself at its turn. What a
// single thread would have written or handed out before the failure still
// is, and the report is the same.
#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec.h"
#include "crew.h"
#include "pipeline.h"
#include "platform.h"
#include "stream_file.h"

namespace {

constexpr int SlotsPerThread = 16;
constexpr int ReadPiece = 256 * 1024;  // at least one whole record
constexpr std::size_t WritePiece = 256 * 1024;
constexpr int MaxGroup = HileMaxThreads * SlotsPerThread;  // blocks in one group at most

struct BlockSlot {
    std::uint8_t data[HileBlockSize];
    std::uint8_t record[Codec::MaxRecordSize];
    int size = 0;
    int block = 0;        // reading: the block's number in the stream,
    int offset = 0;       // and where its record begins in the file
    std::string failure;  // empty: none
};

struct Group;

struct Worker {
    Group* group = nullptr;
    Codec* codec = nullptr;
    std::unique_ptr<Codec> owned;
    // Reading: a second codec, so that the worker decodes two blocks at
    // once; none (short of memory) decodes one at a time.
    Codec* partner = nullptr;
    std::unique_ptr<Codec> ownedPartner;
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
    Codec& codec = *worker->codec;
    const bool pairs = !group.pack && worker->partner != nullptr;
    for (;;) {
        const int i = group.claimed.fetch_add(pairs ? 2 : 1);
        if (i >= group.count)
            break;
        BlockSlot& slot = *group.slots[static_cast<std::size_t>(i)];
        if (pairs && i + 1 < group.count) {
            BlockSlot& next = *group.slots[static_cast<std::size_t>(i) + 1];
            Codec::BlockJob first{slot.record, slot.size, slot.data, 0, CodecResult::Success};
            Codec::BlockJob second{next.record, next.size, next.data, 0, CodecResult::Success};
            Codec::DecodeBlockPair(codec, *worker->partner, first, second, group.flags);
            if (first.result != CodecResult::Success)
                slot.failure = codec.Failure();
            if (second.result != CodecResult::Success)
                next.failure = worker->partner->Failure();
            continue;
        }
        int used;
        const CodecResult result = group.pack ? codec.EncodeBlock(slot.data, group.flags, slot.record, &slot.size)
                                         : codec.DecodeBlock(slot.record, slot.size, slot.data, group.flags, &used);
        if (result != CodecResult::Success)
            slot.failure = codec.Failure();
    }
}

// The coding threads are the platform's, which keep the process's signals
// from them (an interruption is the stream's thread's to handle).
const ThreadSource PlatformThreads = {
    [](void (*body)(void*), void* context) {
        return reinterpret_cast<void*>(OsThreadStart(body, context));
    },
    [](void* thread) { OsThreadJoin(reinterpret_cast<OsHandle>(thread)); },
};

// The crew's job: each helper codes its share of the group with its worker.
struct GroupJob {
    std::vector<Worker>* workers = nullptr;
    void operator()(int helper) const { Work(&(*workers)[static_cast<std::size_t>(helper)]); }
};

}  // namespace

// Reading: record bytes read ahead in large pieces; bytes [start, start +
// filled) of the file.
struct ReadBuffer {
    std::vector<std::uint8_t> bytes;
    int start = 0;
    int filled = 0;
    long long fileSize = -1;
};

// The coding threads are the batch's crew, one per worker, kept as long as
// the batch: each codes its share of a group, given by Launch.
struct HileBatch {
    std::vector<Worker> workers;
    Codec* own = nullptr;           // the stream's codec, for the blocks its thread codes
    std::unique_ptr<Codec> ownPartner;  // reading: its second, for two blocks at once
    std::unique_ptr<BlockCrew> crew;  // none: the stream's own thread codes, with the stream's codec
    bool Threaded() const { return crew != nullptr; }
    GroupJob job;
    ReadBuffer reading;
    std::vector<std::uint8_t> writing;  // records gathered for one write
    Group groups[2];
    int current = 0;                // the group being filled or handed out
    std::int64_t readAhead = -1;    // reading: stream offset of the next block to read; -1 not started
};

namespace {

void Launch(HileBatch* batch, Group& group) {
    group.claimed = 0;
    group.running = true;
    for (Worker& worker : batch->workers)
        worker.group = &group;
    if (!batch->Threaded()) {
        Work(&batch->workers.front());
        return;
    }
    batch->crew->Start(batch->job);
}

// Waits for a group's coding. The waiting thread codes the blocks no coding
// thread has taken yet itself, with the stream's codec, instead of idling;
// without coding threads (none could be started) it codes them all.
void Join(HileBatch* batch, Group& group) {
    if (!group.running)
        return;
    if (batch->Threaded()) {
        Worker self;
        self.group = &group;
        self.codec = batch->own;
        self.partner = batch->ownPartner.get();
        Work(&self);
        batch->crew->Wait();
    }
    group.running = false;
}

// Writing: writes the records of a packed group (joined) in order, each
// with its index entry, as Hflus does; the records go out gathered in large
// writes, the group's index entries in one. A block that failed is reported
// once everything before it is written.
void WriteGroup(HILE* stream, Group& group) {
    std::vector<std::uint8_t>& pending = stream->batch->writing;
    std::uint8_t offsets[4 * MaxGroup];
    int entries = 0;
    int offset = DoFtell(&stream->main);
    auto flush = [&] {
        if (entries == 0)
            return;
        DoFwrite(offsets, 4 * entries, &stream->side);
        DoFwrite(pending.data(), static_cast<int>(pending.size()), &stream->main);
        entries = 0;
        pending.clear();
    };
    for (int i = 0; i < group.count; ++i) {
        BlockSlot& slot = *group.slots[static_cast<std::size_t>(i)];
        if (!slot.failure.empty()) {
            flush();
            FatalMessage("%s", slot.failure.c_str());
        }
        if (pending.size() + static_cast<std::size_t>(slot.size) > WritePiece)
            flush();
        Store32(offsets + 4 * entries++, static_cast<std::uint32_t>(offset));
        pending.insert(pending.end(), slot.record, slot.record + slot.size);
        offset += slot.size;
        HileReportProgress(stream);
    }
    flush();
    group.count = 0;
}

// Reading: the record at the file position, taken from the stream's read
// buffer, which is filled with large reads; false when the file ends inside
// the record or its bit count is out of range (the stream's thread then
// reads it the single thread's way, which gives that thread's report).
bool TakeRecord(HILE* stream, int* position, BlockSlot& slot) {
    HileBatch* batch = stream->batch;
    ReadBuffer& buffer = batch->reading;
    // Makes [*position, *position + need) present; false at the file's end.
    auto present = [&](int need) {
        if (*position < buffer.start || *position > buffer.start + buffer.filled) {
            buffer.start = *position;  // nothing of use in the buffer
            buffer.filled = 0;
        }
        if (*position + need <= buffer.start + buffer.filled)
            return true;
        const int kept = buffer.start + buffer.filled - *position;
        std::memmove(buffer.bytes.data(), buffer.bytes.data() + (*position - buffer.start), static_cast<std::size_t>(kept));
        buffer.start = *position;
        buffer.filled = kept;
        const long long left = buffer.fileSize - (static_cast<long long>(buffer.start) + kept);
        const int room = static_cast<int>(buffer.bytes.size()) - kept;
        const int more = left < room ? static_cast<int>(left) : room;
        if (more > 0) {
            DoFseek(&stream->main, buffer.start + kept);
            DoFread(buffer.bytes.data() + kept, more, &stream->main);
            buffer.filled += more;
        }
        return *position + need <= buffer.start + buffer.filled;
    };
    auto here = [&] { return buffer.bytes.data() + (*position - buffer.start); };
    present(0);  // the position inside the buffer, or the buffer starting there
    RecordHead head;
    while (!ParseRecordHead(here(), buffer.start + buffer.filled - *position, stream->header.flags, &head)) {
        if (!present(head.need))
            return false;
    }
    if (!BitCountValid(head.nbits) || !present(head.size + CodedBytes(head.nbits)))
        return false;
    slot.size = head.size + CodedBytes(head.nbits);
    std::memcpy(slot.record, here(), static_cast<std::size_t>(slot.size));
    *position += slot.size;
    return true;
}

// Reading: reads the records of the next blocks that the stream's length
// promises into a group's slots, from where Hfill would read them one by
// one. The file is left where those reads would leave it. ReadAhead also
// starts their decoding.
void ReadRecords(HILE* stream, Group& group) {
    HileBatch* batch = stream->batch;
    group.count = 0;
    group.next = 0;
    if (batch->readAhead >= stream->header.totalLength)
        return;
    if (batch->reading.fileSize < 0)
        batch->reading.fileSize = FileSize64(&stream->main);
    int position = DoFtell(&stream->main);
    while (group.count < static_cast<int>(group.slots.size()) && batch->readAhead < stream->header.totalLength) {
        // A record that runs into the index or cannot be taken whole ends
        // the read-ahead before it: the stream's thread reads it as a single
        // thread does, when its turn comes, and gives that thread's report.
        BlockSlot& slot = *group.slots[static_cast<std::size_t>(group.count)];
        slot.offset = position;
        if (position >= stream->header.indexOffset || !TakeRecord(stream, &position, slot)) {
            batch->readAhead = stream->header.totalLength;
            break;
        }
        slot.failure.clear();
        slot.block = static_cast<int>(batch->readAhead / HileBlockSize);
        ++group.count;
        batch->readAhead += HileBlockSize;
    }
    DoFseek(&stream->main, position);
}

void ReadAhead(HILE* stream, Group& group) {
    ReadRecords(stream, group);
    if (group.count > 0)
        Launch(stream->batch, group);
}

}  // namespace

// With one thread, a stream still moves its records in large pieces (one
// transfer for many records instead of two or more for each), and its own
// thread codes them with the stream's codec.
HileBatch* BatchCreate(HILE* stream) {
    const bool write = stream->write != 0;
    const int flags = stream->header.flags;
    const int threads = std::clamp(stream->options.threads, 1, HileMaxThreads);
    auto* batch = new (std::nothrow) HileBatch;
    if (batch == nullptr)
        return nullptr;
    batch->own = stream->codec;
    if (threads > 1)  // short of memory: the stream's thread codes alone
        batch->crew.reset(new (std::nothrow) BlockCrew(threads - 1, PlatformThreads));
    batch->job.workers = &batch->workers;
    // N threads are the stream's own and N - 1 coding threads: the stream's
    // thread codes in every Join, so a coding thread more than that only
    // took turns with it on the processors (compressing on two processors
    // took an eighth longer so).
    batch->workers.resize(static_cast<std::size_t>(batch->Threaded() ? threads - 1 : 1));
    if (write)
        batch->writing.reserve(WritePiece + Codec::MaxRecordSize);
    else
        batch->reading.bytes.resize(ReadPiece);
    // Reading Huffman-mode blocks, each coder decodes two at once, with a
    // second codec: that takes a fifth off their time. LZ-mode blocks in
    // pairs took as long as one after the other on the machine measured,
    // so their streams keep their memory and decode one at a time.
    const bool pairs = !write && (flags & FlagHuffman) != 0;
    if (pairs)
        batch->ownPartner.reset(new (std::nothrow) Codec);
    for (Worker& worker : batch->workers) {
        if (batch->Threaded()) {
            worker.owned.reset(new (std::nothrow) Codec);
            if (pairs)
                worker.ownedPartner.reset(new (std::nothrow) Codec);
        }
        worker.codec = batch->Threaded() ? worker.owned.get() : batch->own;
        worker.partner = batch->Threaded() ? worker.ownedPartner.get() : batch->ownPartner.get();
    }
    // One thread: groups of 2 blocks to read (decoded as they are handed
    // out) and of 16 to write (written together).
    const int slots = batch->Threaded() ? threads * SlotsPerThread : write ? SlotsPerThread : 2;
    for (Group& group : batch->groups) {
        group.pack = write;
        group.flags = flags;
        for (int i = 0; i < slots; ++i)
            group.slots.emplace_back(new (std::nothrow) BlockSlot);
    }
    // Short of memory: the stream goes on with its one thread and plain reads.
    bool complete = true;
    for (Worker& worker : batch->workers)
        complete = complete && worker.codec != nullptr;
    for (Group& group : batch->groups) {
        for (auto& slot : group.slots)
            complete = complete && slot != nullptr;
    }
    if (!complete) {
        BatchDestroy(batch);
        return nullptr;
    }
    // A write stream fills the slot its block is packed from.
    if (write)
        stream->buffer = batch->groups[0].slots[0]->data;
    return batch;
}

void BatchDestroy(HileBatch* batch) {
    if (batch == nullptr)
        return;
    for (Group& group : batch->groups)
        Join(batch, group);
    BatchStopThreads(batch);
    delete batch;
}

void BatchStopThreads(HileBatch* batch) {
    if (batch == nullptr)
        return;
    if (batch->crew)
        batch->crew->Stop();
}

// The full buffer is the group's next slot already; the next block fills
// the slot after it, or the first of the other group, written by now.
void BatchPut(HILE* stream) {
    HileBatch* batch = stream->batch;
    Group& group = batch->groups[batch->current];
    ++group.count;
    if (group.count < static_cast<int>(group.slots.size())) {
        stream->buffer = group.slots[static_cast<std::size_t>(group.count)]->data;
        return;
    }
    // The coding threads go on with this group while the one before is
    // written.
    Group& before = batch->groups[1 - batch->current];
    Join(batch, before);
    Launch(batch, group);
    WriteGroup(stream, before);
    batch->current = 1 - batch->current;
    stream->buffer = before.slots[0]->data;
}

void BatchFlush(HILE* stream) {
    HileBatch* batch = stream->batch;
    Group& before = batch->groups[1 - batch->current];
    Group& group = batch->groups[batch->current];
    Join(batch, before);
    if (group.count > 0)
        Launch(batch, group);
    WriteGroup(stream, before);
    Join(batch, group);
    WriteGroup(stream, group);
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
        // The group just handed out takes the records after the next
        // group's while the coding threads still decode that one, and is
        // decoded while the next one is handed out.
        Group& emptied = *group;
        ReadRecords(stream, emptied);
        Join(batch, other);
        batch->current = 1 - batch->current;
        group = &other;
        if (emptied.count > 0)
            Launch(batch, emptied);
    }
    if (group->next >= group->count)
        return false;
    BlockSlot& slot = *group->slots[static_cast<std::size_t>(group->next++)];
    if (!slot.failure.empty()) {
        FatalAbout(stream->name, BlockDamaged(slot.block), RecordAt(slot.offset));
        FatalMessage("%s", slot.failure.c_str());
    }
    // The slot stays as it is until its group is read ahead into again,
    // which happens only once every block of it has been handed out.
    stream->buffer = slot.data;
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
    batch->reading.filled = 0;
}
