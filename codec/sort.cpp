// sort.cpp - the sort stage.
//
// The block is seen as 256 rows of 64 bytes. Rows of only 0xFF are dropped;
// the others are chained, each followed by the not yet placed row that
// differs from it in the fewest bytes (the lowest-numbered on a tie), and
// written column by column. Equal bytes of similar rows thus stand side by
// side, where the run-length stage finds them. The chain starts from the
// lowest empty row, so the first row placed is the one with the fewest bytes
// other than 0xFF, and at least one row must be empty.
#include "codec.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace {

constexpr int NoRow = -1;
constexpr int StartDistance = 999999;

#if !defined(__SSE2__)
// The set bits of a word, without relying on a population-count instruction
// (the baseline instruction sets of both targets have none).
inline int CountBits(std::uint64_t v) {
    v -= (v >> 1) & 0x5555555555555555ull;
    v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int>((v * 0x0101010101010101ull) >> 56);
}
#endif

// The number of bytes in which two rows differ, 16 bytes at a time with
// SSE2. Without it eight bytes are compared at once, every differing byte
// leaving a nonzero byte in the XOR, folded into its lowest bit.
inline int RowDistance(const std::uint8_t* rowA, const std::uint8_t* rowB) {
#if defined(__SSE2__)
    // Equal bytes compare to 0xFF; masked to 1 and summed over the four
    // quarters, every byte lane holds 0 to 4, and one sum of absolute
    // differences against zero adds up each half.
    const __m128i one = _mm_set1_epi8(1);
    __m128i equal = _mm_setzero_si128();
    for (int i = 0; i < SortRowBytes; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rowA + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rowB + i));
        equal = _mm_add_epi8(equal, _mm_and_si128(_mm_cmpeq_epi8(a, b), one));
    }
    const __m128i sums = _mm_sad_epu8(equal, _mm_setzero_si128());
    return SortRowBytes - _mm_cvtsi128_si32(sums) - _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
#else
    std::uint64_t differing = 0;
    for (int i = 0; i < SortRowBytes; i += 8) {
        std::uint64_t diff = Load64(rowA + i) ^ Load64(rowB + i);
        diff |= diff >> 4;
        diff |= diff >> 2;
        diff |= diff >> 1;
        differing |= (diff & 0x0101010101010101ull) << (i / 8);
    }
    return CountBits(differing);
#endif
}

}  // namespace

int Codec::SorMarkEmpty() {
    int used = 0;
    for (int r = 0; r < SortRows; ++r) {
        const std::uint8_t* row = SortGrid + r * SortRowBytes;
        bool empty = true;
        for (int i = 0; i < SortRowBytes && empty; ++i)
            empty = row[i] == SortEmptyByte;
        RowDone[r] = empty ? 1 : 0;
        used += empty ? 0 : 1;
    }
    return used;
}

namespace {

// The scans below find, among the open rows (a list in increasing row
// order), the one nearest to the reference row, the first of the list on a
// tie, and answer its place in the list. A row at distance 0 ends the scan:
// nothing comes closer, and a later row would lose the tie.
// Keeps row k when it is nearer than the best so far; true when nothing can
// come closer than it.
inline bool Nearer(int d, int k, int* best, int* choice) {
    if (d >= *best)
        return false;
    *best = d;
    *choice = k;
    return d == 0;
}

int NearestRow(const std::uint8_t* grid, const std::uint8_t* open, int count, const std::uint8_t* reference) {
    int best = StartDistance;
    int choice = NoRow;
    for (int k = 0; k < count; ++k) {
        const int d = RowDistance(grid + open[k] * SortRowBytes, reference);
        if (Nearer(d, k, &best, &choice))
            break;
    }
    return choice;
}

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define SORT_HAS_WIDE_SCANS 1

// Two 32-byte compares and two bit counts per row.
__attribute__((target("avx2,popcnt"))) int NearestRowAvx2(const std::uint8_t* grid, const std::uint8_t* open,
                                                          int count, const std::uint8_t* reference) {
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(reference));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(reference + 32));
    int best = StartDistance;
    int choice = NoRow;
    for (int k = 0; k < count; ++k) {
        const std::uint8_t* row = grid + open[k] * SortRowBytes;
        const auto a = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row)), low)));
        const auto b = static_cast<std::uint32_t>(_mm256_movemask_epi8(
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 32)), high)));
        const int d = SortRowBytes - __builtin_popcount(a) - __builtin_popcount(b);
        if (Nearer(d, k, &best, &choice))
            break;
    }
    return choice;
}

// One 64-byte compare into a mask and one bit count per row.
__attribute__((target("avx512f,avx512bw,popcnt"))) int NearestRowAvx512(const std::uint8_t* grid,
                                                                        const std::uint8_t* open, int count,
                                                                        const std::uint8_t* reference) {
    const __m512i ref = _mm512_loadu_si512(reference);
    int best = StartDistance;
    int choice = NoRow;
    for (int k = 0; k < count; ++k) {
        const __mmask64 equal = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(grid + open[k] * SortRowBytes), ref);
        const int d = SortRowBytes - __builtin_popcountll(equal);
        if (Nearer(d, k, &best, &choice))
            break;
    }
    return choice;
}
#endif

using NearestRowScan = int (*)(const std::uint8_t*, const std::uint8_t*, int, const std::uint8_t*);

// The widest scan the processor can run; all give the same answer.
NearestRowScan ChooseScan() {
#if defined(SORT_HAS_WIDE_SCANS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("popcnt"))
        return NearestRowAvx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt"))
        return NearestRowAvx2;
#endif
    return NearestRow;
}

int Nearest(const std::uint8_t* grid, const std::uint8_t* open, int count, const std::uint8_t* reference) {
    static const NearestRowScan scan = ChooseScan();
    return scan(grid, open, count, reference);
}

// The rows not yet done, in increasing order; answers their number.
int OpenRows(const std::uint8_t* done, std::uint8_t* open) {
    int count = 0;
    for (int r = 0; r < SortRows; ++r) {
        if (!done[r])
            open[count++] = static_cast<std::uint8_t>(r);
    }
    return count;
}

}  // namespace

CodecResult Codec::SorPack(const std::uint8_t* data, std::uint8_t* out, std::uint8_t* order, int* rows) {
    std::memcpy(SortGrid, data, BlockSize);
    const int n = SorMarkEmpty();
    SAFETY_CHECK(n < SortRows, CodecResult::CannotPack, "SorPack: no empty rows");
    int r = 0;
    while (!RowDone[r])  // the lowest empty row; there is one
        ++r;
    // Each step takes the open row nearest to the last one placed; the list
    // of open rows is kept from step to step instead of gathered from
    // RowDone every time.
    std::uint8_t open[SortRows];
    int count = OpenRows(RowDone, open);
    for (int k = 0; k < n; ++k) {
        const int place = Nearest(SortGrid, open, count, SortGrid + r * SortRowBytes);
        SAFETY_CHECK(place != NoRow, CodecResult::Bug, "SorBestRow: BUG");
        r = open[place];
        std::memmove(open + place, open + place + 1, static_cast<std::size_t>(count - place - 1));
        --count;
        RowDone[r] = 1;
        order[k] = static_cast<std::uint8_t>(r);
    }
    std::uint8_t* at = out;
    for (int j = 0; j < SortRowBytes; ++j)
        for (int k = 0; k < n; ++k)
            *at++ = SortGrid[order[k] * SortRowBytes + j];
    std::memset(at, SortEmptyByte, static_cast<std::size_t>(BlockSize - n * SortRowBytes));
    *rows = n;
    return CodecResult::Success;
}

CodecResult Codec::SorUnpack(const std::uint8_t* source, std::uint8_t* destination, const std::uint8_t* order, int n) {
    // A row named twice cannot come from the packer: the record is damaged.
    bool named[SortRows] = {};
    for (int k = 0; k < n; ++k) {
        SAFETY_CHECK(!named[order[k]], CodecResult::BadData, "SorUnpack: row %d named twice", order[k]);
        named[order[k]] = true;
    }
    // The rows come back straight into the destination; the ones not named
    // are the dropped empty rows.
    for (int r = 0; r < SortRows; ++r) {
        if (!named[r])
            std::memset(destination + r * SortRowBytes, SortEmptyByte, SortRowBytes);
    }
    const std::uint8_t* at = source;
    for (int j = 0; j < SortRowBytes; ++j)
        for (int k = 0; k < n; ++k)
            destination[order[k] * SortRowBytes + j] = *at++;
    return CodecResult::Success;
}
