// lzxcore.cpp - the C interface (lzxcore.h): "LZX1" streams in memory.
//
// The codec answers with results and keeps the text of its last failure;
// here each result becomes the interface's, and the text, with the block it
// concerns, this thread's last failure. A stream is laid out as layout.h says:
// compressing writes the records one after another behind the header and
// keeps their index entries at the end of the output buffer until the
// records are done, then moves the index behind them, so nothing but the
// context is allocated. Every offset taken from the input is checked
// against the input's size before it is used (layout.h), and every record is
// decoded within the bytes up to the next one.
//
// Threads: a context's calls hand blocks to its workers, each with a codec
// of its own, in rising order, on the context's crew (crew.h, the engine a
// stream's pipeline runs on too); the failure reported is always the one of
// the lowest block that fails, so a result and its text do not depend on
// the number of threads.
#include "lzxcore.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "codec.h"
#include "crew.h"
#include "layout.h"

namespace {

constexpr int FailureSize = 256;

// The most bytes one record can take. The coded data is at most the table
// section (MaxTableBits) and 9 bits per byte of stage data: the packers
// build true Huffman codes, which never code the items of a block in more
// bits than a code of 9 bits each would (512 symbols fit 9 bits, and both
// alphabets are smaller), and a reference's up to 16 extra bits come with
// at least 4 bytes it stands for, 25 bits for 4 bytes at most. The stage
// data is at most a block: the run-length stage stores a block that it
// cannot shorten.
constexpr std::size_t RecordBound = MaxRecordHead + (MaxTableBits + 9 * BlockSize + 7) / 8;
static_assert(RecordBound <= static_cast<std::size_t>(Codec::MaxRecordSize));
// A mode is the stream's flags.
static_assert(LZX_MODE_HUFFMAN == FlagHuffman && LZX_MODE_SORT == FlagSort);

thread_local char LastFailure[FailureSize];

lzx_result Failed(lzx_result result, const char* format, ...) PRINTF_LIKE(2, 3);
lzx_result Failed(lzx_result result, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(LastFailure, sizeof LastFailure, format, args);
    va_end(args);
    return result;
}

#define CORE_TRY(call)                                       \
    do {                                                     \
        if (const lzx_result tried = (call); tried != LZX_OK) \
            return tried;                                    \
    } while (0)

// One thread's work areas: its codec, a block for the partial one at the
// end of the data, a record for one that may not fit where it goes.
struct Worker {
    Codec codec;
    std::uint8_t block[BlockSize];
    std::uint8_t record[Codec::MaxRecordSize];
};

// A stream given to a read: its header checked against its size.
struct Input {
    const std::uint8_t* bytes;
    HileHeader header;
    std::int64_t blocks;
    std::int64_t Entry(std::int64_t k) const { return Load32(bytes + header.indexOffset + IndexEntrySize * k); }
};

lzx_result OpenInput(const void* in, std::size_t inSize, Input* input) {
    if (in == nullptr && inSize > 0)
        return Failed(LZX_BAD_ARGUMENT, "the stream is a null pointer");
    if (inSize < static_cast<std::size_t>(StreamHeaderSize))
        return Failed(LZX_BAD_DATA, "a stream of %zu bytes, shorter than its 16-byte header", inSize);
    input->bytes = static_cast<const std::uint8_t*>(in);
    input->header = DecodeHeader(input->bytes);
    if (input->header.magic != StreamMagic)
        return Failed(LZX_BAD_DATA, "not an LZX1 stream");
    const auto size = static_cast<long long>(std::min<std::size_t>(inSize, static_cast<std::size_t>(INT64_MAX)));
    if (!HeaderSound(input->header, size))
        return Failed(LZX_BAD_DATA, "damaged header: its index does not lie inside the stream's %zu bytes", inSize);
    input->blocks = BlockCount(input->header.totalLength);
    return LZX_OK;
}

// Block k into destination (BlockSize bytes): its record where the index
// says, which must end where the next one begins (the index, after the
// last).
lzx_result DecodeAt(Worker& worker, const Input& input, std::int64_t k, std::uint8_t* destination) {
    const std::int64_t begin = input.Entry(k);
    const std::int64_t end = k + 1 < input.blocks ? input.Entry(k + 1) : input.header.indexOffset;
    if (!RecordOffsetSound(begin, input.header) || end <= begin || end > input.header.indexOffset)
        return Failed(LZX_BAD_DATA, "block %lld: damaged index (a record at %lld, the next at %lld)",
                      static_cast<long long>(k), static_cast<long long>(begin), static_cast<long long>(end));
    int used = 0;
    if (worker.codec.DecodeBlock(input.bytes + begin, static_cast<int>(end - begin), destination, input.header.flags,
                                 &used) != CodecResult::Success)
        return Failed(LZX_BAD_DATA, "block %lld: %s", static_cast<long long>(k), worker.codec.Failure());
    if (used != end - begin)
        return Failed(LZX_BAD_DATA, "block %lld: its record ends at %lld, the index has the next at %lld",
                      static_cast<long long>(k), static_cast<long long>(begin + used), static_cast<long long>(end));
    return LZX_OK;
}

}  // namespace

struct lzx_context {
    std::vector<std::unique_ptr<Worker>> workers;  // one per thread, the caller's first
    std::unique_ptr<BlockCrew> crew;               // a helper for every worker after the first
};

namespace {

// Runs body(worker, k) for k = first .. last - 1 on the context's threads.
// On failures, the lowest k's result and text are the call's: every k below
// a failure is still run, none above it is started.
template <typename Body>
lzx_result RunBlocks(lzx_context* context, std::int64_t first, std::int64_t last, Body body) {
    if (context->workers.size() <= 1 || last - first <= 1) {
        for (std::int64_t k = first; k < last; ++k)
            CORE_TRY(body(*context->workers.front(), k));
        return LZX_OK;
    }
    std::atomic<std::int64_t> next{first};
    std::atomic<std::int64_t> lowest{last};
    std::mutex guard;
    lzx_result result = LZX_OK;
    char text[FailureSize] = "";
    auto run = [&](Worker& worker) {
        for (std::int64_t k; (k = next.fetch_add(1)) < lowest.load();) {
            if (const lzx_result failed = body(worker, k); failed != LZX_OK) {
                std::lock_guard<std::mutex> hold(guard);
                if (k < lowest.load()) {
                    lowest = k;
                    result = failed;
                    std::memcpy(text, LastFailure, sizeof text);
                }
            }
        }
    };
    auto help = [&](int helper) { run(*context->workers[static_cast<std::size_t>(helper) + 1]); };
    context->crew->Start(help);
    run(*context->workers.front());
    context->crew->Wait();
    if (result != LZX_OK)
        std::memcpy(LastFailure, text, sizeof text);
    return result;
}

// Encodes blocks first .. last - 1 one after another into out from *at,
// never past limit, each record's offset to its entry at index.
lzx_result EncodeRange(Worker& worker, const std::uint8_t* in, std::size_t inSize, int flags, std::int64_t first,
                       std::int64_t last, std::uint8_t* out, std::size_t* at, std::size_t limit, std::uint8_t* index) {
    for (std::int64_t k = first; k < last; ++k) {
        const std::size_t start = static_cast<std::size_t>(k) * BlockSize;
        const std::uint8_t* data = in + start;
        if (inSize - start < static_cast<std::size_t>(BlockSize)) {
            std::memcpy(worker.block, data, inSize - start);
            std::memset(worker.block + (inSize - start), 0, BlockSize - (inSize - start));
            data = worker.block;
        }
        const std::size_t room = limit - *at;
        std::uint8_t* to = room >= static_cast<std::size_t>(Codec::MaxRecordSize) ? out + *at : worker.record;
        int size = 0;
        const CodecResult coded = worker.codec.EncodeBlock(data, flags, to, &size);
        if (coded != CodecResult::Success)
            return Failed(coded == CodecResult::NoMemory ? LZX_NO_MEMORY : LZX_CANNOT_PACK, "block %lld: %s",
                          static_cast<long long>(k), worker.codec.Failure());
        if (static_cast<std::size_t>(size) > room)
            return Failed(LZX_SHORT_OUTPUT, "block %lld: its record of %d bytes does not fit", static_cast<long long>(k),
                          size);
        if (to == worker.record)
            std::memcpy(out + *at, worker.record, static_cast<std::size_t>(size));
        Store32(index + IndexEntrySize * k, static_cast<std::uint32_t>(*at));
        *at += static_cast<std::size_t>(size);
    }
    return LZX_OK;
}

lzx_result Compress(lzx_context* context, const void* in, std::size_t inSize, void* outBuffer, std::size_t capacity,
                    std::size_t* outSize, int mode) {
    if (outSize == nullptr)
        return Failed(LZX_BAD_ARGUMENT, "out_size is a null pointer");
    *outSize = 0;
    if (context == nullptr)
        return Failed(LZX_BAD_ARGUMENT, "the context is a null pointer");
    if (mode != LZX_MODE_LZ && mode != LZX_MODE_HUFFMAN && mode != LZX_MODE_SORT)
        return Failed(LZX_BAD_ARGUMENT, "unknown mode %d", mode);
    if ((in == nullptr && inSize > 0) || (outBuffer == nullptr && capacity > 0))
        return Failed(LZX_BAD_ARGUMENT, "a null pointer for bytes");
    if (inSize > static_cast<std::size_t>(MaxStreamLength))
        return Failed(LZX_BAD_ARGUMENT, "data of %zu bytes, more than 2147483647", inSize);
    const auto data = static_cast<const std::uint8_t*>(in);
    const auto out = static_cast<std::uint8_t*>(outBuffer);
    const std::int64_t blocks = BlockCount(static_cast<std::int64_t>(inSize));
    const std::size_t indexBytes = static_cast<std::size_t>(IndexEntrySize * blocks);
    if (capacity < StreamHeaderSize + indexBytes)
        return Failed(LZX_SHORT_OUTPUT, "an output buffer of %zu bytes cannot hold the header and index", capacity);
    // The index entries wait at the buffer's end; the records may not reach
    // them, nor take the stream past its limit.
    std::uint8_t* const index = out + capacity - indexBytes;
    const std::size_t streamRoom = static_cast<std::size_t>(MaxStreamLength) - indexBytes;
    const std::size_t limit = std::min(capacity - indexBytes, streamRoom);
    std::size_t end = StreamHeaderSize;

    const auto threads = static_cast<std::int64_t>(context->workers.size());
    if (threads <= 1 || blocks < 2 || capacity < lzx_compress_bound(inSize)) {
        const lzx_result result = EncodeRange(*context->workers.front(), data, inSize, mode, 0, blocks, out, &end,
                                              limit, index);
        if (result == LZX_SHORT_OUTPUT && limit == streamRoom)
            return Failed(LZX_CANNOT_PACK, "the stream would be longer than 2147483647 bytes");
        CORE_TRY(result);
    } else {
        // Each thread codes a run of blocks into a place of its own, as far
        // from the header as RecordBound allows the blocks before it; then
        // the runs are moved together in order and their entries with them.
        const std::int64_t runs = std::min(threads, blocks);
        auto firstOf = [&](std::int64_t run) { return blocks * run / runs; };
        auto placeOf = [&](std::int64_t run) { return StreamHeaderSize + static_cast<std::size_t>(firstOf(run)) * RecordBound; };
        std::vector<std::size_t> ends(static_cast<std::size_t>(runs));
        CORE_TRY(RunBlocks(context, 0, runs, [&](Worker& worker, std::int64_t run) {
            std::size_t& at = ends[static_cast<std::size_t>(run)] = placeOf(run);
            return EncodeRange(worker, data, inSize, mode, firstOf(run), firstOf(run + 1), out, &at, placeOf(run + 1),
                               index);
        }));
        for (std::int64_t run = 0; run < runs; ++run) {
            const std::size_t from = placeOf(run);
            const std::size_t length = ends[static_cast<std::size_t>(run)] - from;
            std::memmove(out + end, out + from, length);
            for (std::int64_t k = firstOf(run); k < firstOf(run + 1); ++k)
                Store32(index + IndexEntrySize * k,
                        static_cast<std::uint32_t>(Load32(index + IndexEntrySize * k) - (from - end)));
            end += length;
        }
        if (end > streamRoom)
            return Failed(LZX_CANNOT_PACK, "the stream would be longer than 2147483647 bytes");
    }
    std::memmove(out + end, index, indexBytes);
    EncodeHeader({StreamMagic, static_cast<std::int32_t>(end), static_cast<std::int32_t>(inSize), mode}, out);
    *outSize = end + indexBytes;
    return LZX_OK;
}

lzx_result Decompress(lzx_context* context, const void* in, std::size_t inSize, void* outBuffer, std::size_t capacity,
                      std::size_t* outSize) {
    if (outSize == nullptr)
        return Failed(LZX_BAD_ARGUMENT, "out_size is a null pointer");
    *outSize = 0;
    if (context == nullptr)
        return Failed(LZX_BAD_ARGUMENT, "the context is a null pointer");
    Input input{};
    CORE_TRY(OpenInput(in, inSize, &input));
    const auto total = static_cast<std::size_t>(input.header.totalLength);
    if (capacity < total)
        return Failed(LZX_SHORT_OUTPUT, "the data is %zu bytes long, the output buffer %zu", total, capacity);
    if (outBuffer == nullptr && total > 0)
        return Failed(LZX_BAD_ARGUMENT, "the output buffer is a null pointer");
    // The records follow the header directly, as a reader that takes them
    // in order finds them.
    if (input.blocks > 0 && input.Entry(0) != StreamHeaderSize)
        return Failed(LZX_BAD_DATA, "block 0: damaged index (its record at %lld, not behind the header)",
                      static_cast<long long>(input.Entry(0)));
    const auto out = static_cast<std::uint8_t*>(outBuffer);
    CORE_TRY(RunBlocks(context, 0, input.blocks, [&](Worker& worker, std::int64_t k) {
        const std::size_t at = static_cast<std::size_t>(k) * BlockSize;
        if (total - at >= static_cast<std::size_t>(BlockSize))
            return DecodeAt(worker, input, k, out + at);
        CORE_TRY(DecodeAt(worker, input, k, worker.block));
        std::memcpy(out + at, worker.block, total - at);
        return LZX_OK;
    }));
    *outSize = total;
    return LZX_OK;
}

lzx_result ReadAt(lzx_context* context, const void* in, std::size_t inSize, std::uint64_t offset, void* outBuffer,
                  std::size_t count, std::size_t* got) {
    if (got == nullptr)
        return Failed(LZX_BAD_ARGUMENT, "got is a null pointer");
    *got = 0;
    if (context == nullptr)
        return Failed(LZX_BAD_ARGUMENT, "the context is a null pointer");
    if (outBuffer == nullptr && count > 0)
        return Failed(LZX_BAD_ARGUMENT, "the output buffer is a null pointer");
    Input input{};
    CORE_TRY(OpenInput(in, inSize, &input));
    const auto total = static_cast<std::uint64_t>(input.header.totalLength);
    if (offset >= total || count == 0)
        return LZX_OK;
    const std::uint64_t n = std::min<std::uint64_t>(count, total - offset);
    const auto out = static_cast<std::uint8_t*>(outBuffer);
    const auto first = static_cast<std::int64_t>(offset / BlockSize);
    const auto last = static_cast<std::int64_t>((offset + n - 1) / BlockSize + 1);
    CORE_TRY(RunBlocks(context, first, last, [&](Worker& worker, std::int64_t k) {
        const std::uint64_t start = static_cast<std::uint64_t>(k) * BlockSize;
        const std::uint64_t from = std::max(offset, start);
        const std::uint64_t to = std::min(offset + n, start + BlockSize);
        if (from == start && to == start + BlockSize)
            return DecodeAt(worker, input, k, out + (start - offset));
        CORE_TRY(DecodeAt(worker, input, k, worker.block));
        std::memcpy(out + (from - offset), worker.block + (from - start), static_cast<std::size_t>(to - from));
        return LZX_OK;
    }));
    *got = static_cast<std::size_t>(n);
    return LZX_OK;
}

// A call's own context, one thread: the calls without one.
template <typename Call>
lzx_result WithContext(Call call) {
    const std::unique_ptr<lzx_context, void (*)(lzx_context*)> context(lzx_context_new(1), lzx_context_free);
    if (!context)
        return Failed(LZX_NO_MEMORY, "no memory for the work areas");
    return call(context.get());
}

// The interface's edge: nothing thrown passes it.
template <typename Call>
lzx_result Guarded(Call call) {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return Failed(LZX_NO_MEMORY, "out of memory");
    }
}

}  // namespace

extern "C" {

size_t lzx_compress_bound(size_t size) {
    if (size > static_cast<std::size_t>(MaxStreamLength))
        return 0;
    return StreamHeaderSize +
           static_cast<std::size_t>(BlockCount(static_cast<std::int64_t>(size))) * (RecordBound + IndexEntrySize);
}

lzx_context* lzx_context_new(int threads) {
    if (threads < 0 || threads > LZX_MAX_THREADS)
        return nullptr;
    try {
        auto context = std::make_unique<lzx_context>();
        for (int t = 0; t < std::max(threads, 1); ++t) {
            context->workers.emplace_back(new (std::nothrow) Worker);
            if (!context->workers.back())
                return nullptr;
        }
        context->crew = std::make_unique<BlockCrew>(static_cast<int>(context->workers.size()) - 1);
        return context.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void lzx_context_free(lzx_context* context) {
    delete context;
}

lzx_result lzx_context_compress(lzx_context* context, const void* in, size_t in_size, void* out, size_t out_capacity,
                                size_t* out_size, int mode) {
    return Guarded([&] { return Compress(context, in, in_size, out, out_capacity, out_size, mode); });
}

lzx_result lzx_context_decompress(lzx_context* context, const void* in, size_t in_size, void* out,
                                  size_t out_capacity, size_t* out_size) {
    return Guarded([&] { return Decompress(context, in, in_size, out, out_capacity, out_size); });
}

lzx_result lzx_context_read_at(lzx_context* context, const void* in, size_t in_size, uint64_t offset, void* out,
                               size_t count, size_t* got) {
    return Guarded([&] { return ReadAt(context, in, in_size, offset, out, count, got); });
}

lzx_result lzx_compress(const void* in, size_t in_size, void* out, size_t out_capacity, size_t* out_size, int mode) {
    return WithContext([&](lzx_context* context) {
        return lzx_context_compress(context, in, in_size, out, out_capacity, out_size, mode);
    });
}

lzx_result lzx_decompress(const void* in, size_t in_size, void* out, size_t out_capacity, size_t* out_size) {
    return WithContext([&](lzx_context* context) {
        return lzx_context_decompress(context, in, in_size, out, out_capacity, out_size);
    });
}

lzx_result lzx_read_at(const void* in, size_t in_size, uint64_t offset, void* out, size_t count, size_t* got) {
    return WithContext([&](lzx_context* context) {
        return lzx_context_read_at(context, in, in_size, offset, out, count, got);
    });
}

lzx_result lzx_decompressed_size(const void* in, size_t in_size, uint64_t* size) {
    if (size == nullptr)
        return Failed(LZX_BAD_ARGUMENT, "size is a null pointer");
    *size = 0;
    Input input{};
    CORE_TRY(OpenInput(in, in_size, &input));
    *size = static_cast<std::uint64_t>(input.header.totalLength);
    return LZX_OK;
}

const char* lzx_result_text(lzx_result result) {
    switch (result) {
    case LZX_OK: return "done";
    case LZX_BAD_DATA: return "damaged data: not an intact LZX1 stream";
    case LZX_SHORT_OUTPUT: return "the output buffer is too small";
    case LZX_BAD_ARGUMENT: return "a bad argument";
    case LZX_NO_MEMORY: return "out of memory";
    case LZX_CANNOT_PACK: return "the data cannot be packed in this mode";
    }
    return "an unknown result";
}

const char* lzx_last_failure(void) {
    return LastFailure;
}

}  // extern "C"
