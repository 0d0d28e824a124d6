// compare_bench.cpp - the LZX codec beside zlib, libdeflate, zstd, LZ4 and xz on one
// corpus, in one process and one run.
//
// The corpus (build/corpus, made by scripts/corpus: Windows programs and
// libraries, manual pages, licences and the product's own files) is read file
// by file in sorted order and concatenated into one buffer. Every codec
// compresses that whole buffer and decompresses it again; every run's output
// is compared with the input byte for byte, and a difference ends the program
// at once. Times are the median of several runs; a measurement stops
// repeating early once its runs have used the time budget, so that xz and
// zstd -19 do not take the whole afternoon (the table says how many runs
// each figure had).
//
// Memory is the codec's own: the peak of the heap bytes it holds during one
// compression or one decompression, plus the fixed work areas it keeps
// outside the heap. The heap is counted through each library's allocator
// hook (zlib zalloc, zstd ZSTD_customMem, liblzma lzma_allocator) and, for
// the LZX stream, through this program's replacement of the global operator
// new, which the stream allocates its HILE with. All of them feed one meter.
// The buffers the caller passes in and out are not part of the figure.
//
// The sort stage of LZX (stream flag 2) needs at least one row of 64 0xFF
// bytes in every block, and stops the program when a block has none: it is
// meant for tabular data, and the corpus is not. So the flag-2 rows run on a
// prepared variant of the corpus in which every block is 255 rows of corpus
// bytes followed by one empty row; their ratio and speed are still counted in
// corpus bytes, so the inserted rows are charged to the mode. No other codec
// sees the variant.
//
// Output: a markdown table on standard output and in <out>/results.md, the
// rows for the chart in <out>/results.dat, and <out>/chart.gp, the gnuplot
// script that scripts/bench turns into <out>/chart.png.
#define ZLIB_CONST
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_customMem and the _advanced constructors

#include <lz4.h>
#include <libdeflate.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "codec.h"
#include "lzx.h"
#include "platform.h"

#ifndef COMPARE_BENCH_BUILD
#define COMPARE_BENCH_BUILD "unknown flags"
#endif

namespace fs = std::filesystem;

namespace {

// ---- Failure ---------------------------------------------------------------

[[noreturn]] void Die(const char* format, ...) {
    std::fflush(stdout);
    std::fprintf(stderr, "compare_bench: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::exit(1);
}

// ---- The heap meter ----------------------------------------------------------
//
// Every counted block carries a 16-byte header in front of it: its size and
// the distance back to the start of what malloc gave, so that the free calls
// that pass only the address can subtract the right size. The meter is
// atomic because a stream is free to code on several threads.

constexpr std::size_t HeapHeader = 2 * sizeof(std::size_t);
static_assert(HeapHeader % alignof(std::max_align_t) == 0);

std::atomic<std::int64_t> HeapLive{0};
std::atomic<std::int64_t> HeapPeak{0};

void* HeapTake(std::size_t size, std::size_t align) noexcept {
    const std::size_t header = align > HeapHeader ? align : HeapHeader;
    void* raw = nullptr;
    if (align > HeapHeader)
        raw = std::aligned_alloc(align, (header + size + align - 1) / align * align);
    else
        raw = std::malloc(header + size);
    if (raw == nullptr)
        return nullptr;
    auto* user = static_cast<unsigned char*>(raw) + header;
    const std::size_t fields[2] = {size, header};
    std::memcpy(user - HeapHeader, fields, sizeof fields);
    const std::int64_t live = HeapLive.fetch_add(static_cast<std::int64_t>(size)) + static_cast<std::int64_t>(size);
    std::int64_t peak = HeapPeak.load();
    while (live > peak && !HeapPeak.compare_exchange_weak(peak, live)) {
    }
    return user;
}

void HeapGive(void* address) noexcept {
    if (address == nullptr)
        return;
    auto* user = static_cast<unsigned char*>(address);
    std::size_t fields[2];
    std::memcpy(fields, user - HeapHeader, sizeof fields);
    HeapLive.fetch_sub(static_cast<std::int64_t>(fields[0]));
    std::free(user - fields[1]);
}

// The peak of the heap above what was live when the window opened.
class HeapWindow {
public:
    HeapWindow() : base_(HeapLive.load()) { HeapPeak.store(base_); }
    std::int64_t Peak() const { return HeapPeak.load() - base_; }

private:
    std::int64_t base_;
};

void* ZlibAlloc(void*, unsigned items, unsigned size) {
    return HeapTake(static_cast<std::size_t>(items) * size, 0);
}
void ZlibFree(void*, void* address) {
    HeapGive(address);
}
void* LibdeflateAlloc(std::size_t size) {
    return HeapTake(size, 0);
}
void LibdeflateFree(void* address) {
    HeapGive(address);
}
void* ZstdAlloc(void*, std::size_t size) {
    return HeapTake(size, 0);
}
void ZstdFree(void*, void* address) {
    HeapGive(address);
}
void* LzmaAlloc(void*, std::size_t count, std::size_t size) {
    return HeapTake(count * size, 0);
}
void LzmaFree(void*, void* address) {
    HeapGive(address);
}

const ZSTD_customMem ZstdMemory = {ZstdAlloc, ZstdFree, nullptr};
const lzma_allocator LzmaMemory = {LzmaAlloc, LzmaFree, nullptr};

}  // namespace

// The global allocation functions, every form, through the meter.
void* operator new(std::size_t size) {
    if (void* p = HeapTake(size, 0))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = HeapTake(size, 0))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t align) {
    if (void* p = HeapTake(size, static_cast<std::size_t>(align)))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
    if (void* p = HeapTake(size, static_cast<std::size_t>(align)))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return HeapTake(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return HeapTake(size, 0);
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return HeapTake(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return HeapTake(size, static_cast<std::size_t>(align));
}
void operator delete(void* p) noexcept { HeapGive(p); }
void operator delete[](void* p) noexcept { HeapGive(p); }
void operator delete(void* p, std::size_t) noexcept { HeapGive(p); }
void operator delete[](void* p, std::size_t) noexcept { HeapGive(p); }
void operator delete(void* p, std::align_val_t) noexcept { HeapGive(p); }
void operator delete[](void* p, std::align_val_t) noexcept { HeapGive(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { HeapGive(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { HeapGive(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { HeapGive(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { HeapGive(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { HeapGive(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { HeapGive(p); }

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- Clocks ----------------------------------------------------------------

struct Instant {
    double wall;
    double cpu;  // of the whole process, every thread
};

double Seconds(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

Instant Now() {
    return {Seconds(CLOCK_MONOTONIC), Seconds(CLOCK_PROCESS_CPUTIME_ID)};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// ---- The codecs ------------------------------------------------------------
//
// Compress writes the whole input to out (at most Bound bytes) and returns
// the compressed size; Decompress restores exactly size bytes. Both stop the
// program on any error the library reports.

class Contender {
public:
    Contender(std::string codec, std::string mode, int family)
        : codec(std::move(codec)), mode(std::move(mode)), family(family) {}
    virtual ~Contender() = default;
    virtual std::size_t Bound(std::size_t size) const = 0;
    virtual std::size_t Compress(const std::uint8_t* in, std::size_t size, std::uint8_t* out, std::size_t capacity) = 0;
    virtual void Decompress(const std::uint8_t* in, std::size_t packed, std::uint8_t* out, std::size_t size) = 0;
    // Work areas outside the heap, for compression and decompression.
    virtual std::int64_t FixedCompress() const { return 0; }
    virtual std::int64_t FixedDecompress() const { return 0; }
    // The sort mode runs on the prepared variant of the corpus.
    virtual bool WantsEmptyRows() const { return false; }

    const std::string codec;
    const std::string mode;
    const int family;  // colour in the chart
};

enum Family { FamilyLzxBlock, FamilyLzxStream, FamilyZlib, FamilyZstd, FamilyLz4, FamilyXz, FamilyLibdeflate };

// LZX block records in memory: one Codec codes the blocks one after another,
// on this thread. A last partial block goes through a zero-padded copy, as
// the stream pads its last block.
class LzxBlock : public Contender {
public:
    LzxBlock(int flags, const char* mode) : Contender("lzx block", mode, FamilyLzxBlock), flags_(flags) {}

    std::size_t Bound(std::size_t size) const override {
        return (size + BlockSize - 1) / BlockSize * static_cast<std::size_t>(Codec::MaxRecordSize);
    }

    std::size_t Compress(const std::uint8_t* in, std::size_t size, std::uint8_t* out, std::size_t) override {
        std::uint8_t* at = out;
        std::size_t done = 0;
        for (; done + BlockSize <= size; done += BlockSize)
            at += Encode(in + done, at);
        if (done < size) {
            std::memset(last_, 0, sizeof last_);
            std::memcpy(last_, in + done, size - done);
            at += Encode(last_, at);
        }
        return static_cast<std::size_t>(at - out);
    }

    void Decompress(const std::uint8_t* in, std::size_t packed, std::uint8_t* out, std::size_t size) override {
        std::size_t from = 0;
        std::size_t done = 0;
        for (; done < size; done += BlockSize) {
            const int left = static_cast<int>(std::min<std::size_t>(packed - from, INT_MAX));
            if (done + BlockSize <= size) {
                from += Decode(in + from, left, out + done);
            } else {
                from += Decode(in + from, left, last_);
                std::memcpy(out + done, last_, size - done);
            }
        }
        if (from != packed)
            Die("%s %s: the records took %zu of %zu bytes", codec.c_str(), mode.c_str(), from, packed);
    }

    int Encode(const std::uint8_t* block, std::uint8_t* record) {
        int size = 0;
        if (codec_->EncodeBlock(block, flags_, record, &size) != CodecResult::Success)
            Die("%s %s: %s", codec.c_str(), mode.c_str(), codec_->Failure());
        return size;
    }

    std::size_t Decode(const std::uint8_t* record, int left, std::uint8_t* block) {
        int used = 0;
        if (codec_->DecodeBlock(record, left, block, flags_, &used) != CodecResult::Success)
            Die("%s %s: %s", codec.c_str(), mode.c_str(), codec_->Failure());
        return static_cast<std::size_t>(used);
    }

    std::int64_t FixedCompress() const override { return sizeof(Codec); }
    std::int64_t FixedDecompress() const override { return sizeof(Codec); }
    bool WantsEmptyRows() const override { return (flags_ & FlagSort) != 0; }

private:
    const int flags_;
    std::unique_ptr<Codec> codec_ = std::make_unique<Codec>();
    std::uint8_t last_[BlockSize];
};

// The whole HILE stream: written to a file in the current directory (a
// private temporary one) and read back. The output size is the file's.
class LzxStream : public Contender {
public:
    LzxStream(const char* openMode, const std::string& mode, bool sort, int threads = 1)
        : Contender("lzx stream", mode, FamilyLzxStream), openMode_(openMode), sort_(sort), threads_(threads) {}

    std::size_t Bound(std::size_t) const override { return 0; }

    std::size_t Compress(const std::uint8_t* in, std::size_t size, std::uint8_t*, std::size_t) override {
        HILE* stream = Hopen(FileName, openMode_, {threads_});
        Hwrite(in, static_cast<int>(size), stream);
        return static_cast<std::size_t>(Hclose(stream));
    }

    void Decompress(const std::uint8_t*, std::size_t, std::uint8_t* out, std::size_t size) override {
        HILE* stream = Hopen(FileName, "rb", {threads_});
        const int got = Hread(out, static_cast<int>(size), stream);
        std::uint8_t more;
        const int extra = Hread(&more, 1, stream);
        Hclose(stream);
        if (got != static_cast<int>(size) || extra != 0)
            Die("%s %s: read %d bytes (then %d more) of %zu", codec.c_str(), mode.c_str(), got, extra, size);
    }

    // The stream's own Codec lies in the heap, where the meter counts it.
    std::int64_t FixedCompress() const override { return 0; }
    std::int64_t FixedDecompress() const override { return 0; }
    bool WantsEmptyRows() const override { return sort_; }

    static constexpr const char* FileName = "bench.lzx";

private:
    const char* openMode_;
    const bool sort_;
    const int threads_;
};

class Zlib : public Contender {
public:
    explicit Zlib(int level) : Contender("zlib", std::to_string(level), FamilyZlib), level_(level) {}

    std::size_t Bound(std::size_t size) const override { return compressBound(static_cast<uLong>(size)); }

    std::size_t Compress(const std::uint8_t* in, std::size_t size, std::uint8_t* out, std::size_t capacity) override {
        z_stream z = Stream(in, size, out, capacity);
        if (deflateInit(&z, level_) != Z_OK)
            Die("zlib: deflateInit failed");
        if (deflate(&z, Z_FINISH) != Z_STREAM_END)
            Die("zlib: deflate did not finish");
        const std::size_t packed = z.total_out;
        deflateEnd(&z);
        return packed;
    }

    void Decompress(const std::uint8_t* in, std::size_t packed, std::uint8_t* out, std::size_t size) override {
        z_stream z = Stream(in, packed, out, size);
        if (inflateInit(&z) != Z_OK)
            Die("zlib: inflateInit failed");
        if (inflate(&z, Z_FINISH) != Z_STREAM_END || z.total_out != size)
            Die("zlib: inflate failed");
        inflateEnd(&z);
    }

private:
    static z_stream Stream(const std::uint8_t* in, std::size_t size, std::uint8_t* out, std::size_t capacity) {
        if (size > UINT_MAX || capacity > UINT_MAX)
            Die("zlib: the corpus is too large for one call");
        z_stream z{};
        z.zalloc = ZlibAlloc;
        z.zfree = ZlibFree;
        z.next_in = in;
        z.avail_in = static_cast<uInt>(size);
        z.next_out = out;
        z.avail_out = static_cast<uInt>(capacity);
        return z;
    }

    const int level_;
};

// libdeflate: raw deflate in one call each way, the closest peer of the LZ
// mode (static Huffman tables per block, LZ references, a 32 KiB window).
// Its allocations go through the meter (libdeflate_set_memory_allocator).
class Libdeflate : public Contender {
public:
    explicit Libdeflate(int level) : Contender("libdeflate", std::to_string(level), FamilyLibdeflate), level_(level) {}

    std::size_t Bound(std::size_t size) const override { return libdeflate_deflate_compress_bound(nullptr, size); }

    std::size_t Compress(const std::uint8_t* in, std::size_t size, std::uint8_t* out, std::size_t capacity) override {
        libdeflate_compressor* compressor = libdeflate_alloc_compressor(level_);
        if (compressor == nullptr)
            Die("libdeflate: no compressor");
        const std::size_t packed = libdeflate_deflate_compress(compressor, in, size, out, capacity);
        libdeflate_free_compressor(compressor);
        if (packed == 0)
            Die("libdeflate: the output does not fit");
        return packed;
    }

    void Decompress(const std::uint8_t* in, std::size_t packed, std::uint8_t* out, std::size_t size) override {
        libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
        if (decompressor == nullptr)
            Die("libdeflate: no decompressor");
        std::size_t got = 0;
        const libdeflate_result result = libdeflate_deflate_decompress(decompressor, in, packed, out, size, &got);
        libdeflate_free_decompressor(decompressor);
        if (result != LIBDEFLATE_SUCCESS || got != size)
            Die("libdeflate: decompression failed (%d)", static_cast<int>(result));
    }

private:
    const int level_;
};

class Zstd : public Contender {
public:
    explicit Zstd(int level) : Contender("zstd", std::to_string(level), FamilyZstd), level_(level) {}

    std::size_t Bound(std::size_t size) const override { return ZSTD_compressBound(size); }

    std::size_t Compress(const std::uint8_t* in, std::size_t size, std::uint8_t* out, std::size_t capacity) override {
        ZSTD_CCtx* context = ZSTD_createCCtx_advanced(ZstdMemory);
        if (context == nullptr)
            Die("zstd: no compression context");
        Check(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level_));
        const std::size_t packed = Check(ZSTD_compress2(context, out, capacity, in, size));
        ZSTD_freeCCtx(context);
        return packed;
    }

    void Decompress(const std::uint8_t* in, std::size_t packed, std::uint8_t* out, std::size_t size) override {
        ZSTD_DCtx* context = ZSTD_createDCtx_advanced(ZstdMemory);
        if (context == nullptr)
            Die("zstd: no decompression context");
        if (Check(ZSTD_decompressDCtx(context, out, size, in, packed)) != size)
            Die("zstd: short decompression");
        ZSTD_freeDCtx(context);
    }

private:
    static std::size_t Check(std::size_t result) {
        if (ZSTD_isError(result))
            Die("zstd: %s", ZSTD_getErrorName(result));
        return result;
    }

    const int level_;
};

// LZ4_compress_default keeps its state on the stack (LZ4_sizeofState bytes);
// decompression needs no state at all.
class Lz4 : public Contender {
public:
    Lz4() : Contender("lz4", "default", FamilyLz4) {}

    std::size_t Bound(std::size_t size) const override {
        const int limited = static_cast<int>(std::min<std::size_t>(size, LZ4_MAX_INPUT_SIZE));
        return static_cast<std::size_t>(LZ4_compressBound(limited));
    }

    std::size_t Compress(const std::uint8_t* in, std::size_t size, std::uint8_t* out, std::size_t capacity) override {
        if (size > LZ4_MAX_INPUT_SIZE)
            Die("lz4: the corpus is too large for one call");
        const int room = static_cast<int>(std::min<std::size_t>(capacity, INT_MAX));
        const int packed = LZ4_compress_default(reinterpret_cast<const char*>(in), reinterpret_cast<char*>(out),
                                                static_cast<int>(size), room);
        if (packed <= 0)
            Die("lz4: compression failed");
        return static_cast<std::size_t>(packed);
    }

    void Decompress(const std::uint8_t* in, std::size_t packed, std::uint8_t* out, std::size_t size) override {
        const int got = LZ4_decompress_safe(reinterpret_cast<const char*>(in), reinterpret_cast<char*>(out),
                                            static_cast<int>(packed), static_cast<int>(size));
        if (got != static_cast<int>(size))
            Die("lz4: decompression failed (%d)", got);
    }

    std::int64_t FixedCompress() const override { return LZ4_sizeofState(); }
};

class Xz : public Contender {
public:
    explicit Xz(std::uint32_t preset) : Contender("xz", std::to_string(preset), FamilyXz), preset_(preset) {}

    std::size_t Bound(std::size_t size) const override { return lzma_stream_buffer_bound(size); }

    std::size_t Compress(const std::uint8_t* in, std::size_t size, std::uint8_t* out, std::size_t capacity) override {
        std::size_t packed = 0;
        const lzma_ret result =
            lzma_easy_buffer_encode(preset_, LZMA_CHECK_CRC64, &LzmaMemory, in, size, out, &packed, capacity);
        if (result != LZMA_OK)
            Die("xz: lzma_easy_buffer_encode returned %d", static_cast<int>(result));
        return packed;
    }

    void Decompress(const std::uint8_t* in, std::size_t packed, std::uint8_t* out, std::size_t size) override {
        std::uint64_t limit = UINT64_MAX;
        std::size_t inPos = 0;
        std::size_t outPos = 0;
        const lzma_ret result =
            lzma_stream_buffer_decode(&limit, 0, &LzmaMemory, in, &inPos, packed, out, &outPos, size);
        if (result != LZMA_OK || outPos != size || inPos != packed)
            Die("xz: lzma_stream_buffer_decode returned %d", static_cast<int>(result));
    }

private:
    const std::uint32_t preset_;
};

// ---- The corpus ------------------------------------------------------------

struct Corpus {
    fs::path dir;
    std::size_t files = 0;
    Bytes data;               // every file, in sorted order
    std::string digest;       // from MANIFEST, when there is one
    Bytes rows;               // the variant for the sort mode
    std::size_t blocks = 0;   // 16384-byte blocks of the corpus
    std::size_t withEmpty = 0;  // of them, those with an all-0xFF row of their own
};

bool EmptyRow(const std::uint8_t* row) {
    for (int i = 0; i < SortRowBytes; ++i)
        if (row[i] != SortEmptyByte)
            return false;
    return true;
}

Corpus LoadCorpus(const fs::path& dir) {
    Corpus corpus;
    corpus.dir = dir;
    if (!fs::is_directory(dir))
        Die("no corpus in %s (scripts/corpus makes it)", dir.c_str());
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(entry.path(), dir).generic_string();
        if (entry.is_regular_file() && name != "MANIFEST")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::ifstream file(dir / name, std::ios::binary);
        const std::size_t at = corpus.data.size();
        const std::size_t size = fs::file_size(dir / name);
        corpus.data.resize(at + size);
        if (!file.read(reinterpret_cast<char*>(corpus.data.data() + at), static_cast<std::streamsize>(size)))
            Die("cannot read %s", (dir / name).c_str());
    }
    corpus.files = names.size();
    if (corpus.data.empty())
        Die("the corpus in %s is empty", dir.c_str());
    if (corpus.data.size() > static_cast<std::size_t>(INT_MAX) / 2)
        Die("the corpus is larger than a stream may be");

    std::ifstream manifest(dir / "MANIFEST");
    for (std::string line; std::getline(manifest, line);) {
        const std::size_t at = line.find("digest: ");
        if (line.rfind("#", 0) == 0 && at != std::string::npos)
            corpus.digest = line.substr(at + 8);
    }

    // How many corpus blocks the sort mode could take as they are.
    const std::size_t size = corpus.data.size();
    corpus.blocks = (size + BlockSize - 1) / BlockSize;
    for (std::size_t b = 0; b < corpus.blocks; ++b) {
        const std::size_t end = std::min(size, (b + 1) * BlockSize);
        for (std::size_t row = b * BlockSize; row + SortRowBytes <= end; row += SortRowBytes) {
            if (EmptyRow(corpus.data.data() + row)) {
                ++corpus.withEmpty;
                break;
            }
        }
    }

    // The variant: 255 rows of corpus bytes, then one empty row, per block.
    constexpr std::size_t Carried = BlockSize - SortRowBytes;
    const std::size_t variantBlocks = (size + Carried - 1) / Carried;
    corpus.rows.assign(variantBlocks * BlockSize, 0);
    for (std::size_t b = 0; b < variantBlocks; ++b) {
        const std::size_t from = b * Carried;
        std::memcpy(corpus.rows.data() + b * BlockSize, corpus.data.data() + from, std::min(Carried, size - from));
        std::memset(corpus.rows.data() + b * BlockSize + Carried, SortEmptyByte, SortRowBytes);
    }
    return corpus;
}

// ---- Measuring -------------------------------------------------------------

struct Options {
    int reps = 5;
    double budget = 20;  // seconds of runs after which one measurement stops repeating
    fs::path corpus = "build/corpus";
    fs::path out = "build/bench";
    std::vector<std::string> only;
};

struct Result {
    std::string codec;
    std::string mode;
    int family = 0;
    bool variant = false;
    std::size_t counted = 0;  // corpus bytes
    std::size_t packed = 0;
    double compressSeconds = 0;
    double decompressSeconds = 0;
    int compressRuns = 0;
    int decompressRuns = 0;
    double compressCpu = 0;  // CPU time over wall time
    double decompressCpu = 0;
    std::int64_t compressMemory = 0;
    std::int64_t decompressMemory = 0;

    double Ratio() const { return static_cast<double>(counted) / static_cast<double>(packed); }
    double CompressRate() const { return static_cast<double>(counted) / compressSeconds / 1e6; }
    double DecompressRate() const { return static_cast<double>(counted) / decompressSeconds / 1e6; }
};

// Repeats one operation up to reps times, while another run still fits in
// the budget. Returns the median wall time; cpu receives the CPU time over
// the wall time of all runs, memory the largest heap peak of a run.
template <typename Operation>
double Repeat(const Options& options, Operation operation, int* runs, double* cpu, std::int64_t* memory) {
    std::vector<double> times;
    double wall = 0;
    double used = 0;
    *memory = 0;
    while (static_cast<int>(times.size()) < options.reps) {
        HeapWindow window;
        const Instant start = Now();
        operation();
        const Instant end = Now();
        *memory = std::max(*memory, window.Peak());
        times.push_back(end.wall - start.wall);
        wall += end.wall - start.wall;
        used += end.cpu - start.cpu;
        if (wall + wall / static_cast<double>(times.size()) > options.budget)
            break;
    }
    *runs = static_cast<int>(times.size());
    *cpu = wall > 0 ? used / wall : 0;
    return Median(times);
}

Result Measure(const Options& options, Contender& contender, const Corpus& corpus, Bytes& packed, Bytes& unpacked) {
    const Bytes& input = contender.WantsEmptyRows() ? corpus.rows : corpus.data;
    const std::size_t size = input.size();
    Result result;
    result.codec = contender.codec;
    result.mode = contender.mode;
    result.family = contender.family;
    result.variant = contender.WantsEmptyRows();
    result.counted = corpus.data.size();

    std::fprintf(stderr, "%-10s %-12s compress  ", contender.codec.c_str(), contender.mode.c_str());
    std::fflush(stderr);
    std::size_t first = 0;
    bool firstRun = true;
    result.compressSeconds = Repeat(
        options,
        [&] {
            result.packed = contender.Compress(input.data(), size, packed.data(), packed.size());
            if (firstRun)
                first = result.packed;
            firstRun = false;
            if (result.packed != first)
                Die("%s %s: the runs gave %zu and %zu bytes", result.codec.c_str(), result.mode.c_str(), first,
                    result.packed);
        },
        &result.compressRuns, &result.compressCpu, &result.compressMemory);
    std::fprintf(stderr, "%2d runs %8.3f s   decompress  ", result.compressRuns, result.compressSeconds);
    std::fflush(stderr);

    // A pattern no decompressor would write by accident, so that bytes it
    // leaves out show as a difference.
    std::memset(unpacked.data(), 0xA5, size);
    result.decompressSeconds = Repeat(
        options,
        [&] {
            contender.Decompress(packed.data(), result.packed, unpacked.data(), size);
            if (std::memcmp(unpacked.data(), input.data(), size) != 0) {
                std::size_t at = 0;
                while (unpacked[at] == input[at])
                    ++at;
                std::fprintf(stderr, "\n");
                Die("ROUND TRIP MISMATCH: %s %s differs from its input at byte %zu of %zu", result.codec.c_str(),
                    result.mode.c_str(), at, size);
            }
        },
        &result.decompressRuns, &result.decompressCpu, &result.decompressMemory);
    std::fprintf(stderr, "%2d runs %8.3f s   ratio %.3f\n", result.decompressRuns, result.decompressSeconds,
                 result.Ratio());

    result.compressMemory += contender.FixedCompress();
    result.decompressMemory += contender.FixedDecompress();
    return result;
}

// ---- Report ----------------------------------------------------------------

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

std::string CpuName() {
    std::ifstream info("/proc/cpuinfo");
    std::string name = "unknown CPU";
    int count = 0;
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("processor", 0) == 0)
            ++count;
        if (line.rfind("model name", 0) == 0 && name == "unknown CPU") {
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos && colon + 2 <= line.size())
                name = line.substr(colon + 2);
        }
    }
    return Format("%s, %d logical CPUs", name.c_str(), count);
}

std::string Compiler() {
#if defined(__clang__)
    return "clang " __clang_version__ ", " COMPARE_BENCH_BUILD;
#elif defined(__GNUC__)
    return "g++ " __VERSION__ ", " COMPARE_BENCH_BUILD;
#else
    return "unknown compiler, " COMPARE_BENCH_BUILD;
#endif
}

std::string Rate(double rate) {
    return rate >= 100 ? Format("%.0f", rate) : rate >= 10 ? Format("%.1f", rate) : Format("%.2f", rate);
}

std::string Kib(std::int64_t bytes) {
    return Format("%" PRId64, (bytes + 1023) / 1024);
}

std::string Report(const Options& options, const Corpus& corpus, const std::vector<Result>& results) {
    std::ostringstream text;
    text << "# Compression comparison\n\n";
    text << Format("Corpus: %s, %zu files, %.2f MB (%zu bytes)%s%s.  \n", corpus.dir.c_str(), corpus.files,
                   static_cast<double>(corpus.data.size()) / 1e6, corpus.data.size(),
                   corpus.digest.empty() ? "" : ", MANIFEST digest ", corpus.digest.c_str());
    text << "CPU: " << CpuName() << ".  \n";
    text << "Compiler: " << Compiler() << ".  \n";
    text << Format("Libraries: zlib %s, libdeflate %s, zstd %s, LZ4 %s, liblzma %s.  \n", zlibVersion(),
                   LIBDEFLATE_VERSION_STRING, ZSTD_versionString(), LZ4_versionString(), lzma_version_string());
    text << Format("Runs: up to %d per measurement, fewer once a measurement's runs pass %.0f s.\n\n", options.reps,
                   options.budget);

    text << "| codec | level/mode | ratio | compress MB/s | decompress MB/s | memory compress KiB "
            "| memory decompress KiB | runs c/d | CPU/wall c/d |\n";
    text << "|---|---|--:|--:|--:|--:|--:|--:|--:|\n";
    for (const Result& r : results) {
        text << Format("| %s | %s%s | %.3f | %s | %s | %s | %s | %d/%d | %.2f/%.2f |\n", r.codec.c_str(),
                       r.mode.c_str(), r.variant ? " (a)" : "", r.Ratio(), Rate(r.CompressRate()).c_str(),
                       Rate(r.DecompressRate()).c_str(), Kib(r.compressMemory).c_str(),
                       Kib(r.decompressMemory).c_str(), r.compressRuns, r.decompressRuns, r.compressCpu,
                       r.decompressCpu);
    }

    text << "\nRatio: corpus bytes over compressed bytes. MB/s: 10^6 corpus bytes per second, median wall time of the "
            "runs. The whole corpus is one buffer (one stream) for every row.\n\n";
    text << Format(
        "- lzx block: the 16384-byte blocks coded in memory one after another by one Codec on one thread "
        "(EncodeBlock / DecodeBlock); the output is the records alone, without the stream's header and index. "
        "Modes are the stream flags: 0 LZ, 1 Huffman, 2 sort stage then LZ.\n"
        "- lzx stream: Hopen/Hwrite/Hclose of the corpus to a file in a temporary directory (in %s), then "
        "Hopen/Hread/Hclose; the output is the whole file (header, records, index) and the times include the "
        "file system calls (page cache, no sync). The rows with threads code the blocks on that many threads, "
        "as the lzx tool does by default (-j); every other row is single-threaded. Their memory includes each "
        "thread's Codec and the groups of blocks in flight.\n"
        "- (a) The sort stage needs an all-0xFF row of 64 bytes in every block and stops the program on a block "
        "without one; %zu of the corpus's %zu blocks have one. These rows therefore run on a prepared variant: "
        "each block is 255 rows (16320 bytes) of corpus followed by one empty row, %zu bytes in all. Ratio and "
        "MB/s still count corpus bytes, so the inserted rows are charged to the mode; no other row sees the variant.\n"
        "- zlib's inflate allocates no window when one call can write the whole output, as here.\n"
        "- libdeflate: raw deflate (no gzip or zlib wrapper, so no checksum), one call each way; compressor and "
        "decompressor are allocated inside the timed call, as zlib's streams are.\n"
        "- The other codecs compress the whole buffer in one call with their own history windows (zlib and "
        "libdeflate 32 KiB, LZ4 64 KiB, zstd and xz several MiB); LZX codes every 16 KiB block on its own.\n"
        "- Memory: the peak of the heap bytes the codec holds during one compression or decompression, counted "
        "through zlib's zalloc, libdeflate_set_memory_allocator, zstd's ZSTD_customMem, liblzma's lzma_allocator and (LZX stream) the global "
        "operator new, plus work areas outside the heap: sizeof(Codec) = %zu bytes for LZX (the block rows' own "
        "Codec; a stream's own is in the heap), LZ4_sizeofState() = %d bytes for LZ4 compression (a stack state); LZ4 "
        "decompression needs none. The input and output buffers are not included, nor buffers the C library "
        "keeps for the stream's files, nor thread stacks.\n"
        "- runs c/d: the runs the compression and decompression medians were taken over. CPU/wall: process CPU "
        "time over wall time during those runs: 1.00 is one thread busy all the time; below it the process waited "
        "(for the file system, or for other work on the machine), above it more threads worked.\n",
        fs::temp_directory_path().c_str(), corpus.withEmpty, corpus.blocks, corpus.rows.size(), sizeof(Codec),
        LZ4_sizeofState());

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    text << Format("\nPeak resident set of the benchmark process (corpus, variant and buffers included): %ld KiB.\n",
                   usage.ru_maxrss);
    return text.str();
}

// The chart's points: decompression speed across, ratio up. Labels go to
// the right of a point, except where another point lies close to the right
// at nearly the same height: then to the left.
std::string ChartData(const std::vector<Result>& results) {
    std::ostringstream text;
    text << "# label ratio compress_MBps decompress_MBps memory_compress_KiB memory_decompress_KiB family side\n";
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Result& r = results[i];
        int side = 0;
        for (std::size_t j = 0; j < results.size(); ++j) {
            const Result& o = results[j];
            const double across = o.DecompressRate() / r.DecompressRate();
            if (j != i && across >= 1 && across < 2.2 && std::abs(o.Ratio() - r.Ratio()) < 0.06 * r.Ratio() &&
                (across > 1 || j > i))
                side = 1;
        }
        // LZX's rows of one mode lie close together: the block rows are
        // labelled up and to the right, the stream rows down and to the left,
        // the threaded stream rows down and to the right.
        if (r.family == FamilyLzxBlock)
            side = 2;
        else if (r.family == FamilyLzxStream)
            side = r.mode.find("threads") == std::string::npos ? 3 : 4;
        text << Format("\"%s %s\" %.4f %.3f %.3f %s %s %d %d\n", r.codec.c_str(), r.mode.c_str(), r.Ratio(),
                       r.CompressRate(), r.DecompressRate(), Kib(r.compressMemory).c_str(),
                       Kib(r.decompressMemory).c_str(), r.family, side);
    }
    return text.str();
}

std::string ChartScript(const Corpus& corpus, const fs::path& out) {
    std::ostringstream text;
    text << "# chart.gp - made by compare_bench: gnuplot " << (out / "chart.gp").string() << "\n";
    text << "set terminal pngcairo size 1600,1200 font 'sans,11'\n";
    text << "set output '" << (out / "chart.png").string() << "'\n";
    text << Format("set title \"Compression ratio and decompression speed: %zu files, %.1f MB\\n%s\"\n", corpus.files,
                   static_cast<double>(corpus.data.size()) / 1e6, CpuName().c_str());
    text << "set xlabel 'decompression MB/s (log scale)'\n"
            "set ylabel 'compression ratio (corpus bytes / compressed bytes)'\n"
            "set logscale x\n"
            "set autoscale xfix\n"
            "set format x '%g'\n"
            "set xtics add (20, 50, 200, 500, 2000, 5000, 20000)\n"
            "set grid xtics ytics mxtics\n"
            "set key off\n"
            "set offsets graph 0.1, graph 0.12, graph 0.06, graph 0.04\n"
            "set palette defined (0 '#d62728', 1 '#ff7f0e', 2 '#1f77b4', 3 '#2ca02c', 4 '#9467bd', 5 '#8c564b', "
            "6 '#17becf')\n"
            "set cbrange [0:6]\n"
            "unset colorbox\n";
    const std::string data = (out / "results.dat").string();
    // The stream rows as rings: where a stream sits on its block row, both show.
    text << "plot '" << data << "' using ($7 == 1 ? NaN : $4):2:7 with points pt 7 ps 1.6 lc palette, \\\n"
         << "     '' using ($7 == 1 ? $4 : NaN):2:7 with points pt 6 ps 2.4 lw 2 lc palette, \\\n"
         << "     '' using ($8 == 0 ? $4 : NaN):2:1 with labels left offset 1.2,0.35 font 'sans,10', \\\n"
         << "     '' using ($8 == 1 ? $4 : NaN):2:1 with labels right offset -1.2,-0.35 font 'sans,10', \\\n"
         << "     '' using ($8 == 2 ? $4 : NaN):2:1 with labels left offset 1.2,0.6 font 'sans,10', \\\n"
         << "     '' using ($8 == 3 ? $4 : NaN):2:1 with labels right offset -1.2,-0.6 font 'sans,10', \\\n"
         << "     '' using ($8 == 4 ? $4 : NaN):2:1 with labels left offset 1.2,-0.6 font 'sans,10'\n";
    return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    if (!file.good())
        Die("cannot write %s", path.c_str());
}

// ---- Main ------------------------------------------------------------------

std::string Scratch;  // the temporary directory the stream rows work in

void RemoveScratch() {
    std::error_code ignored;
    fs::remove_all(Scratch, ignored);
}

void Usage() {
    std::printf(
        "usage: compare_bench [--reps N] [--budget SECONDS] [--corpus DIR] [--out DIR] [--only TEXT]...\n"
        "  Compresses and decompresses the corpus with LZX (block and stream, flags 0, 1, 2), zlib 1/6/9,\n"
        "  libdeflate 1/6/12,\n"
        "  zstd 1/3/19, LZ4 and xz 6, and prints a markdown table.\n"
        "  --reps N          runs per measurement, median reported (default 5)\n"
        "  --budget SECONDS  stop repeating a measurement once its runs took this long (default 20)\n"
        "  --corpus DIR      the corpus, made by scripts/corpus (default build/corpus)\n"
        "  --out DIR         results.md, results.dat and chart.gp go here (default build/bench)\n"
        "  --only TEXT       only the rows whose \"codec mode\" contains TEXT (repeatable)\n");
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "-h" || word == "--help") {
            Usage();
            std::exit(0);
        }
        if (i + 1 >= argc)
            Die("%s needs a value (try --help)", word.c_str());
        const char* value = argv[++i];
        if (word == "--reps") {
            options.reps = std::atoi(value);
            if (options.reps < 1)
                Die("--reps must be at least 1");
        } else if (word == "--budget") {
            options.budget = std::atof(value);
        } else if (word == "--corpus") {
            options.corpus = value;
        } else if (word == "--out") {
            options.out = value;
        } else if (word == "--only") {
            options.only.push_back(value);
        } else {
            Die("unknown option %s (try --help)", word.c_str());
        }
    }
    // The stream rows work in a temporary directory: the paths must not
    // depend on the directory the program started in.
    options.corpus = fs::absolute(options.corpus);
    options.out = fs::absolute(options.out);
    return options;
}

std::vector<std::unique_ptr<Contender>> Contenders(const Options& options) {
    std::vector<std::unique_ptr<Contender>> all;
    all.push_back(std::make_unique<LzxBlock>(0, "0 LZ"));
    all.push_back(std::make_unique<LzxBlock>(FlagHuffman, "1 Huffman"));
    all.push_back(std::make_unique<LzxBlock>(FlagSort, "2 sort+LZ"));
    all.push_back(std::make_unique<LzxStream>("wb", "wb", false));
    all.push_back(std::make_unique<LzxStream>("wbh", "wbh", false));
    all.push_back(std::make_unique<LzxStream>("wbs", "wbs", true));
    // The tool's default: blocks coded on one thread per processor.
    const int threads = OsProcessorCount();
    if (threads > 1) {
        const std::string tag = ", " + std::to_string(threads) + " threads";
        all.push_back(std::make_unique<LzxStream>("wb", "wb" + tag, false, threads));
        all.push_back(std::make_unique<LzxStream>("wbs", "wbs" + tag, true, threads));
    }
    for (int level : {1, 6, 9})
        all.push_back(std::make_unique<Zlib>(level));
    for (int level : {1, 6, 12})
        all.push_back(std::make_unique<Libdeflate>(level));
    for (int level : {1, 3, 19})
        all.push_back(std::make_unique<Zstd>(level));
    all.push_back(std::make_unique<Lz4>());
    all.push_back(std::make_unique<Xz>(6));

    std::vector<std::unique_ptr<Contender>> chosen;
    for (auto& contender : all) {
        const std::string label = contender->codec + " " + contender->mode;
        bool wanted = options.only.empty();
        for (const std::string& text : options.only)
            wanted = wanted || label.find(text) != std::string::npos;
        if (wanted)
            chosen.push_back(std::move(contender));
    }
    if (chosen.empty())
        Die("--only matched no row");
    return chosen;
}

}  // namespace

int main(int argc, char** argv) {
    libdeflate_set_memory_allocator(LibdeflateAlloc, LibdeflateFree);
    const Options options = ParseOptions(argc, argv);
    const Corpus corpus = LoadCorpus(options.corpus);
    std::vector<std::unique_ptr<Contender>> contenders = Contenders(options);

    std::size_t bound = 0;
    for (const auto& contender : contenders)
        bound = std::max({bound, contender->Bound(corpus.data.size()), contender->Bound(corpus.rows.size())});
    // Zero-filled, so every page is in memory before the first timed run.
    Bytes packed(bound);
    Bytes unpacked(std::max(corpus.data.size(), corpus.rows.size()));
    std::fprintf(stderr, "compare_bench: %zu files, %zu bytes from %s\n", corpus.files, corpus.data.size(),
                 corpus.dir.c_str());

    // The stream writes its file and its side file in the current directory.
    // The directory goes at exit, also when a failure ends the program.
    const fs::path home = fs::current_path();
    Scratch = (fs::temp_directory_path() / "compare_bench.XXXXXX").string();
    if (mkdtemp(Scratch.data()) == nullptr)
        Die("cannot make a temporary directory: %s", std::strerror(errno));
    std::atexit(RemoveScratch);
    fs::current_path(Scratch);

    std::vector<Result> results;
    for (auto& contender : contenders)
        results.push_back(Measure(options, *contender, corpus, packed, unpacked));

    fs::current_path(home);

    const std::string report = Report(options, corpus, results);
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);
    fs::create_directories(options.out);
    WriteFile(options.out / "results.md", report);
    WriteFile(options.out / "results.dat", ChartData(results));
    WriteFile(options.out / "chart.gp", ChartScript(corpus, options.out));
    std::fprintf(stderr, "compare_bench: wrote %s/results.md, results.dat and chart.gp\n", options.out.c_str());
    return 0;
}
