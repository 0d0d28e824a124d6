// sort.cpp - the sort stage.
//
// The block is seen as 256 rows of 64 bytes. Rows of only 0xFF are dropped;
// the others are chained, each followed by the not yet placed row that
// differs from it in the fewest bytes (the lowest-numbered on a tie), and
// written column by column. Equal bytes of similar rows thus stand side by
// side, where the run-length stage finds them. The chain starts from the
// lowest empty row, so the first row placed is the one with the fewest bytes
// other than 0xFF, and at least one row must be empty.
#include "decoder.h"
#include "encoder.h"

namespace {

constexpr int NoRow = -1;
constexpr int StartDistance = 999999;

// The number of bytes in which two rows differ.
inline int RowDistance(const std::uint8_t* rowA, const std::uint8_t* rowB) {
    static_assert(SortRowBytes == 64);
    return Differences64(rowA, rowB);
}

}  // namespace

int BlockEncoder::SorMarkEmpty(const std::uint8_t* grid, std::uint8_t* done) {
    int used = 0;
    for (int r = 0; r < SortRows; ++r) {
        const std::uint8_t* row = grid + r * SortRowBytes;
        bool empty = true;
        for (int i = 0; i < SortRowBytes && empty; ++i)
            empty = row[i] == SortEmptyByte;
        done[r] = empty ? 1 : 0;
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

using NearestRowScan = int (*)(const std::uint8_t*, const std::uint8_t*, int, const std::uint8_t*);

#include "x86/row_scan.h"

// The widest scan the processor can run; all give the same answer.
NearestRowScan ChooseScan() {
    const NearestRowScan wide = WideRowScan();
    return wide != nullptr ? wide : NearestRow;
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

CodecResult BlockEncoder::SorPack(const std::uint8_t* data, std::uint8_t* out, std::uint8_t* order, int* rows) {
    std::memcpy(SortGrid, data, BlockSize);
    const int n = SorMarkEmpty(SortGrid, RowDone);
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

CodecResult BlockDecoder::SorUnpack(const std::uint8_t* source, std::uint8_t* destination, const std::uint8_t* order,
                                    int n) {
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
    // Each row is gathered from its column (every n-th byte of the source
    // from its place in the order) and stored 8 bytes at once: an eighth of
    // the stores of a scatter column by column, and none of them waiting
    // on where the last one went.
    for (int k = 0; k < n; ++k) {
        std::uint8_t* const row = destination + order[k] * SortRowBytes;
        const std::uint8_t* const column = source + k;
        for (int j = 0; j < SortRowBytes; j += 8) {
            std::uint64_t word = 0;
            for (int b = 0; b < 8; ++b)
                word |= static_cast<std::uint64_t>(column[(j + b) * n]) << (8 * b);
            Store64(row + j, word);
        }
    }
    return CodecResult::Success;
}
