// sort.cpp - the sort stage.
//
// The block is seen as 256 rows of 64 bytes. Rows of only 0xFF are dropped;
// the others are chained, each followed by the not yet placed row that
// differs from it in the fewest bytes (the lowest-numbered on a tie), and
// written column by column. Equal bytes of similar rows thus stand side by
// side, where the run-length stage finds them. The chain starts from the
// lowest empty row, so the first row placed is the one with the fewest bytes
// other than 0xFF, and at least one row must be empty.
#include "lzx/codec.h"

namespace {

constexpr int NoRow = -1;
constexpr int StartDistance = 999999;

}  // namespace

// Counting stops at the limit: a row that is already as far as the best so
// far is out. Eight bytes are compared at once: every differing byte leaves a
// nonzero byte in the XOR, which is folded into its lowest bit and counted.
// Stopping after a word instead of a byte changes nothing, since the answer
// is capped at the limit either way.
int Codec::SorRowDist(int a, int b, int limit) const {
    const std::uint8_t* rowA = SortGrid + a * SortRowBytes;
    const std::uint8_t* rowB = SortGrid + b * SortRowBytes;
    int count = 0;
    for (int i = 0; i < SortRowBytes; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, rowA + i, 8);
        std::memcpy(&y, rowB + i, 8);
        std::uint64_t diff = x ^ y;
        diff |= diff >> 4;
        diff |= diff >> 2;
        diff |= diff >> 1;
        count += __builtin_popcountll(diff & 0x0101010101010101ull);
        if (count >= limit)
            return limit;
    }
    return count;
}

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

int Codec::SorBestRow(int reference) {
    int best = StartDistance;
    int choice = NoRow;
    for (int r = 0; r < SortRows; ++r) {
        if (RowDone[r])
            continue;
        const int d = SorRowDist(r, reference, best);
        if (d < best) {
            best = d;
            choice = r;
        }
    }
    if (choice == NoRow)
        FatalMessage("SorBestRow: BUG");
    return choice;
}

int Codec::SorPack(const std::uint8_t* data, std::uint8_t* out, std::uint8_t* order) {
    std::memcpy(SortGrid, data, BlockSize);
    const int n = SorMarkEmpty();
    if (n == SortRows)
        FatalMessage("SorPack: no empty rows");
    int r = 0;
    while (!RowDone[r])  // the lowest empty row; there is one
        ++r;
    for (int k = 0; k < n; ++k) {
        r = SorBestRow(r);
        RowDone[r] = 1;
        order[k] = static_cast<std::uint8_t>(r);
    }
    std::memset(out, SortEmptyByte, BlockSize);
    std::uint8_t* at = out;
    for (int j = 0; j < SortRowBytes; ++j)
        for (int k = 0; k < n; ++k)
            *at++ = SortGrid[order[k] * SortRowBytes + j];
    return n;
}

void Codec::SorUnpack(const std::uint8_t* source, std::uint8_t* destination, const std::uint8_t* order, int n) {
    // A row named twice cannot come from the packer: the record is damaged.
    bool named[SortRows] = {};
    for (int k = 0; k < n; ++k) {
        if (named[order[k]])
            FatalMessage("SorUnpack: row %d named twice", order[k]);
        named[order[k]] = true;
    }
    std::memset(SortGrid, SortEmptyByte, BlockSize);
    const std::uint8_t* at = source;
    for (int j = 0; j < SortRowBytes; ++j)
        for (int k = 0; k < n; ++k)
            SortGrid[order[k] * SortRowBytes + j] = *at++;
    std::memcpy(destination, SortGrid, BlockSize);
}
