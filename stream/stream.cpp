// stream.cpp - the HILE compressed stream.
//
// A stream keeps exactly one block in memory. Writing fills the buffer and
// packs it as the next block record when more data arrives (or at close),
// while the record's file offset goes to a side file; at close the index is
// copied from the side file behind the last record and the header is
// rewritten with the index offset and the total length. The file is written
// under a temporary name beside its own and takes its name only then, so an
// interrupted or failed write leaves the file that was there before.
//
// Reading decodes one block at a time: sequentially, each block once, and
// on a seek through one index entry. A header is checked when it is loaded
// (a damaged one is refused there), so that no later read can be led outside
// the file or into delivering bytes that are not in it.
#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "codec.h"
#include "hile.h"
#include "pipeline.h"
#include "stream.h"
#include "stream_file.h"

namespace {

// The streams now open, linked through their own fields. The fatal path
// needs them: a fatal report ends the process, and before it does, the
// coding threads of every open stream must stop (ending a process while
// other threads code is not safe everywhere), so the list is the one record
// the module keeps beside its streams. Harnesses that go on after a report
// release the streams it left through it too. Streams open and close on any
// thread, so a spin lock guards the list; nothing is allocated while it is
// held, so the fatal path never finds it held by its own thread.
HILE* OpenStreams = nullptr;
std::atomic_flag OpenStreamsBusy = ATOMIC_FLAG_INIT;

struct OpenStreamsLock {
    OpenStreamsLock() {
        while (OpenStreamsBusy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~OpenStreamsLock() { OpenStreamsBusy.clear(std::memory_order_release); }
};

// The header's total length is a signed 32-bit count: a longer stream is
// refused, never wrapped into a header that lies.
[[noreturn]] void TooLong(const HILE* stream) {
    FatalMessage("Hwrite: stream longer than 2147483647 bytes [%s]", stream->name);
}

// The index must lie inside the file, behind the header, with one entry per
// block of the total length.
void CheckHeader(HILE* stream) {
    const long long size = FileSize64(&stream->main);
    if (!HeaderSound(stream->header, size)) {
        // A header sound in itself whose index lies past the end: a file
        // cut short, as a broken copy leaves it.
        const HileHeader& header = stream->header;
        const long long promised =
            static_cast<long long>(header.indexOffset) + IndexEntrySize * BlockCount(header.totalLength);
        if (header.indexOffset >= HileHeaderSize && header.totalLength >= 0 && promised > size)
            FatalAbout(stream->name, "cut short after " + std::to_string(size) + " bytes",
                       "its header promises " + std::to_string(promised));
        else
            FatalAbout(stream->name, "its header is damaged");
        FatalMessage("Hopen: damaged header [%s]", stream->name);
    }
}

// One block from the file's position into the buffer, as the stream's own
// thread decodes it.
void FillOne(HILE* stream) {
    stream->buffer = stream->own;
    const int block = static_cast<int>((static_cast<std::int64_t>(stream->base) + HileBlockSize) / HileBlockSize);
    if (DoFtell(&stream->main) < stream->header.indexOffset) {
        BlockUnpack(*stream->codec, &stream->main, stream->buffer, stream->header.flags, block);
    } else if (static_cast<std::int64_t>(stream->base) + HileBlockSize < stream->header.totalLength) {
        // The records ran into the index while the total length still
        // promises a further block: the stream is damaged.
        FatalAbout(stream->name, "block " + std::to_string(block + 1) + " is missing");
        FatalMessage("Hfill: block missing in [%s]", stream->name);
    }
    stream->base += HileBlockSize;
    stream->position = 0;
    HileReportProgress(stream);
}

}  // namespace

void HileReportProgress(const HILE* stream) {
    if (stream->options.progress)
        stream->options.progress(stream);
}

void HileCheck(const HILE* stream, const char* operation) {
    if (stream == nullptr || stream->header.magic != HileMagic)
        FatalMessage("%s: not a valid HILE *", operation);
}

namespace {

// The fatal path ends with the coding threads of every open stream
// stopped.
void StopAllThreads() {
    OpenStreamsLock lock;
    for (HILE* stream = OpenStreams; stream != nullptr; stream = stream->next)
        BatchStopThreads(stream->batch);
}

HILE* NewStream(const HileOptions& options) {
    HILE* stream = new (std::nothrow) HILE{};
    Codec* codec = new (std::nothrow) Codec;
    if (stream == nullptr || codec == nullptr) {
        delete stream;
        delete codec;
        FatalMessage("Hopen: out of mem");
    }
    stream->codec = codec;
    stream->buffer = stream->own;
    stream->options = options;
    {
        OpenStreamsLock lock;
        stream->next = OpenStreams;
        if (OpenStreams != nullptr)
            OpenStreams->previous = stream;
        OpenStreams = stream;
    }
    // Installed once, before the first stream can have a thread to stop.
    static const bool stopInstalled = (SetFatalThreadStop(StopAllThreads), true);
    (void)stopInstalled;
    return stream;
}

// Ends a stream's coding threads and frees what it owns.
void Release(HILE* stream) {
    BatchDestroy(stream->batch);
    FolderRelease(&stream->place);
    delete stream->codec;
    delete stream;
}

// A read stream's start: the header from the file's position, checked, and
// no block loaded yet.
void LoadHeader(HILE* stream) {
    std::uint8_t raw[HileHeaderSize];
    DoFread(raw, HileHeaderSize, &stream->main);
    stream->header = DecodeHeader(raw);
    if (stream->header.magic != HileMagic) {
        FatalAbout(stream->name, "not an LZX file");
        FatalMessage("Hopen: not an LZX file");
    }
    CheckHeader(stream);
    stream->base = -HileBlockSize;
    stream->position = HileBlockSize;
}

}  // namespace

HILE* Hopen(const char* name, const char* mode, const HileOptions& options) {
    HILE* stream = NewStream(options);

    if (mode[0] == 'w')
        stream->write = 1;
    else if (mode[0] != 'r')
        FatalMessage("Hopen: bad mode");
    if (mode[1] != 'b')
        FatalMessage("Hopen: bad mode");
    if (mode[2] == 'h')
        stream->header.flags |= FlagHuffman;
    else if (mode[2] == 's')
        stream->header.flags |= FlagSort;
    else if (mode[2] != 0)
        FatalMessage("Hopen: bad mode");

    if (std::strlen(name) >= HileNameSize)
        FatalMessage("Hopen: filename too long");
    std::strcpy(stream->name, name);

    if (stream->write) {
        // Written whole beside its name and renamed over it at Hclose: a
        // failure or a kill leaves the file that was there.
        FileInit(&stream->main, 1, name);
        std::size_t stop = 0;
        if (FolderWalk(name, PathLeaf(name), 0, &stream->place, &stop) != FolderReached)
            FileError(&stream->main, FileErrCreate);
        FileCreateSibling(&stream->main, &stream->sibling, stream->place.Innermost());
    } else {
        DoFopen(name, "rb", &stream->main);
    }
    if (stream->write) {
        // The side name is made by creating the file exclusively: a name
        // that merely looked free could be taken by someone else meanwhile.
        // An interruption waits until the file is marked: before that, the
        // cleanup would not know it.
        OsHoldInterrupts();
        if (!OsCreateUniqueFile(stream->sideName, HileSideNameSize))
            FatalMessage("Hopen: cannot create a side file in the current directory");
        DoFopen(stream->sideName, "w+b", &stream->side);
        // Should the stream fail, the fatal path removes it.
        FileMarkPartial(&stream->side);
        OsReleaseInterrupts();
        stream->header.magic = HileMagic;
        std::uint8_t raw[HileHeaderSize];
        EncodeHeader(stream->header, raw);
        DoFwrite(raw, HileHeaderSize, &stream->main);
        stream->base = 0;
        stream->position = 0;
    } else {
        LoadHeader(stream);
    }
    stream->batch = BatchCreate(stream);
    return stream;
}

HILE* HopenFile(FileRec* file, const HileOptions& options) {
    if (file->handle == 0 || file->unit != 1)
        InternalError("LZX", __LINE__, 'f');
    HILE* stream = NewStream(options);
    if (std::strlen(file->name) >= HileNameSize)
        FatalMessage("Hopen: filename too long");
    std::strcpy(stream->name, file->name);
    stream->main = *file;
    file->handle = 0;  // the stream's from now on
    DoFseek(&stream->main, 0);
    LoadHeader(stream);
    stream->batch = BatchCreate(stream);
    return stream;
}

void Hflus(HILE* stream) {
    if (stream->position < HileBlockSize)
        FatalMessage("Hflus: early");
    if (stream->batch) {
        BatchPut(stream);  // written with its group
        stream->base += HileBlockSize;
        stream->position = 0;
        return;
    }
    std::uint8_t offset[4];
    Store32(offset, static_cast<std::uint32_t>(DoFtell(&stream->main)));
    DoFwrite(offset, 4, &stream->side);
    BlockPack(*stream->codec, stream->buffer, &stream->main, stream->header.flags);
    stream->base += HileBlockSize;
    stream->position = 0;
    HileReportProgress(stream);
}

void Hfill(HILE* stream) {
    if (stream->position < HileBlockSize)
        FatalMessage("Hfill: early");
    if (stream->batch && BatchFill(stream)) {
        stream->base += HileBlockSize;
        stream->position = 0;
        HileReportProgress(stream);
        return;
    }
    FillOne(stream);
}

void Hwrite(const void* buffer, int count, HILE* stream) {
    HileCheck(stream, "Hwrite");
    if (count > 0 && static_cast<std::int64_t>(stream->base) + stream->position + count > MaxStreamLength)
        TooLong(stream);
    const auto* from = static_cast<const std::uint8_t*>(buffer);
    while (count > 0) {
        if (stream->position >= HileBlockSize)
            Hflus(stream);
        const int n = count < HileBlockSize - stream->position ? count : HileBlockSize - stream->position;
        std::memcpy(stream->buffer + stream->position, from, static_cast<std::size_t>(n));
        stream->position += n;
        from += n;
        count -= n;
    }
}

int Hputc(int byte, HILE* stream) {
    if (static_cast<std::int64_t>(stream->base) + stream->position + 1 > MaxStreamLength)
        TooLong(stream);
    if (stream->position >= HileBlockSize)
        Hflus(stream);
    stream->buffer[stream->position++] = static_cast<std::uint8_t>(byte);
    return byte;
}

int Hread(void* buffer, int count, HILE* stream) {
    HileCheck(stream, "Hread");
    auto* to = static_cast<std::uint8_t*>(buffer);
    int delivered = 0;
    while (count > 0) {
        if (stream->position >= HileBlockSize)
            Hfill(stream);
        const std::int64_t left = static_cast<std::int64_t>(stream->header.totalLength) - stream->base;
        const int available = left < HileBlockSize ? static_cast<int>(left) : HileBlockSize;
        const int n = count < available - stream->position ? count : available - stream->position;
        if (n > 0) {
            std::memcpy(to, stream->buffer + stream->position, static_cast<std::size_t>(n));
            stream->position += n;
            to += n;
            count -= n;
            delivered += n;
        }
        if (static_cast<std::int64_t>(stream->base) + stream->position >= stream->header.totalLength)
            break;
    }
    if (count > 0)
        stream->endFlag = 1;
    return delivered;
}

int Hgetc(HILE* stream) {
    if (stream->position >= HileBlockSize)
        Hfill(stream);
    if (static_cast<std::int64_t>(stream->base) + stream->position >= stream->header.totalLength) {
        stream->endFlag = 1;
        return -1;
    }
    return stream->buffer[stream->position++];
}

int Heof(HILE* stream) {
    return stream->endFlag;
}

void Hseek(HILE* stream, int target) {
    HileCheck(stream, "Hseek");
    if (stream->write)
        FatalMessage("Hseek: not allowed on write-file");
    if (target >= stream->header.totalLength || target < 0)
        FatalMessage("Hseek: >= EOF causes deep shit");
    if (stream->base <= target && target < static_cast<std::int64_t>(stream->base) + HileBlockSize) {
        stream->position = target - stream->base;
    } else {
        const int k = target / HileBlockSize;
        DoFseek(&stream->main, stream->header.indexOffset + IndexEntrySize * k);
        std::uint8_t raw[4];
        DoFread(raw, 4, &stream->main);
        const std::int32_t record = static_cast<std::int32_t>(Load32(raw));
        if (!RecordOffsetSound(record, stream->header)) {
            FatalAbout(stream->name, "its block index is damaged", "entry " + std::to_string(k + 1));
            FatalMessage("Hseek: damaged index in [%s]", stream->name);
        }
        // A seek decodes the one block it lands in; reading on from there
        // starts a new read-ahead.
        if (stream->batch)
            BatchDrop(stream);
        DoFseek(&stream->main, record);
        stream->base = HileBlockSize * k - HileBlockSize;
        stream->position = HileBlockSize;
        FillOne(stream);
        stream->position = target - stream->base;
    }
    stream->endFlag = 0;
}

void Hrewind(HILE* stream) {
    HileCheck(stream, "Hrewind");
    if (stream->write)
        FatalMessage("Hrewind: not allowed on write-file");
    if (stream->batch)
        BatchDrop(stream);
    DoFseek(&stream->main, HileHeaderSize);
    stream->base = -HileBlockSize;
    stream->position = HileBlockSize;
    stream->endFlag = 0;
}

int Htell(const HILE* stream) {
    HileCheck(stream, "Htell");
    return stream->base + stream->position;
}

int HileLength(const HILE* stream) {
    return stream->write ? stream->base + stream->position : stream->header.totalLength;
}

int HileFlags(const HILE* stream) {
    return stream->header.flags;
}

int Hclose(HILE* stream) {
    HileCheck(stream, "Hclose");
    int result = 0;
    if (!stream->write) {
        FileClose(&stream->main);
    } else {
        stream->header.totalLength = stream->base + stream->position;
        if (stream->position > 0) {
            std::memset(stream->buffer + stream->position, 0,
                        static_cast<std::size_t>(HileBlockSize - stream->position));
            stream->position = HileBlockSize;
            Hflus(stream);
        }
        if (stream->batch)
            BatchFlush(stream);
        stream->header.indexOffset = DoFtell(&stream->main);
        const int indexSize = DoFtell(&stream->side);

        DoFseek(&stream->side, 0);
        std::uint8_t piece[256];
        for (int left = indexSize; left > 0;) {
            const int n = left < 256 ? left : 256;
            DoFread(piece, n, &stream->side);
            DoFwrite(piece, n, &stream->main);
            left -= n;
        }
        FileClose(&stream->side);
        FileRec remove;
        FileInit(&remove, -1, stream->sideName);
        if (!FileDelete(&remove))
            FatalMessage("Hclose: remove failed");

        result = DoFtell(&stream->main);
        std::uint8_t raw[HileHeaderSize];
        EncodeHeader(stream->header, raw);
        DoFseek(&stream->main, 0);
        DoFwrite(raw, HileHeaderSize, &stream->main);
        FileCommitSibling(&stream->main, &stream->sibling);
        FolderRelease(&stream->place);
        if (result != stream->header.indexOffset + indexSize)
            FatalMessage("Hclose: BUG?");
    }
    {
        OpenStreamsLock lock;
        (stream->previous != nullptr ? stream->previous->next : OpenStreams) = stream->next;
        if (stream->next != nullptr)
            stream->next->previous = stream->previous;
    }
    Release(stream);
    return result;
}

void HileReleaseAll() {
    HILE* stream;
    {
        OpenStreamsLock lock;
        stream = OpenStreams;
        OpenStreams = nullptr;
    }
    while (stream != nullptr) {
        HILE* next = stream->next;
        Release(stream);
        stream = next;
    }
}
