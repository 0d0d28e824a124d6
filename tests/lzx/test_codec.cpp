#include "tests/lzx/test_codec.h"

int TestCodec::LzxMatch(int pos, int left, int* distance) const {
    const int limit = left < LzMaxMatch ? left : LzMaxMatch;
    const int lowest = pos > LzWindow ? pos - LzWindow : 0;
    int best = 0;
    for (int c = LzChain[pos]; c >= lowest; c = LzChain[c]) {
        int n = 0;
        while (n < limit && WorkBuf[c + n] == WorkBuf[pos + n])
            ++n;
        if (n > best) {
            best = n;
            *distance = pos - c;
        }
    }
    return best;
}

int TestCodec::SorRowDist(int a, int b, int limit) const {
    int d = 0;
    for (int i = 0; i < SortRowBytes && d < limit; ++i)
        d += SortGrid[a * SortRowBytes + i] != SortGrid[b * SortRowBytes + i];
    return d;
}

int TestCodec::SorBestRow(int reference) const {
    int best = SortRowBytes + 1;
    int choice = -1;
    for (int r = 0; r < SortRows; ++r) {
        const int d = RowDone[r] ? best : SorRowDist(r, reference, best);
        if (d < best) {
            best = d;
            choice = r;
        }
    }
    return choice;
}
