// lz.cpp - the LZ stage: greedy hash-chain matching over a 1024-byte window,
// coded with one 400-symbol Huffman code per block.
//
// Symbols: 0..255 literal bytes; 256 + 16 * lc + dc a reference, where lc and
// dc are the bit widths of L = length - 3 (1..253) and D = distance - 1
// (0..1023; from 256 on, dc = 8 + width of D >> 8). The top bit of L and D is
// implied by the class, so lc - 1 and dc - 1 extra bits follow the symbol's
// code (none for class 0 or 1). Matches are 4 to 256 bytes long and never
// reach before the block's first byte.
//
// The parse is greedy: at each position the longest match is taken at once.
// The chain walk goes from the nearest candidate to the farthest and keeps a
// candidate only when it is strictly longer, so among equal lengths the
// nearest wins. Every position is entered into the chains before the parse,
// so a search also finds positions inside earlier matches.
#include "lzx/codec.h"

namespace {

inline int LzHash(const std::uint8_t* at) {
    const int a = at[0] + 4 * at[1] + 32 * at[2] + 512 * at[3];
    return (a ^ (a >> 10)) & (LzHashSize - 1);
}

// The number of equal leading bytes of a and b, at most limit. Four bytes at a
// time while four remain; the first differing byte of a word is found from
// its lowest differing bit (the words are little-endian).
inline int MatchLength(const std::uint8_t* a, const std::uint8_t* b, int limit) {
    int n = 0;
    while (n + 4 <= limit) {
        const std::uint32_t diff = Load32(a + n) ^ Load32(b + n);
        if (diff != 0)
            return n + (__builtin_ctz(diff) >> 3);
        n += 4;
    }
    while (n < limit && a[n] == b[n])
        ++n;
    return n;
}

}  // namespace

void Codec::LzxInit() {
    BitWidthInit();
    FresInit(&MainTable, LzSymbols);
    LzItemCount = 0;
}

int Codec::LzxMatch(int pos, int left, int* distance) {
    if (left < LzMinMatch)
        return 0;
    const int limit = left < LzMaxMatch ? left : LzMaxMatch;
    const int lowest = pos > LzWindow ? pos - LzWindow : 0;
    const std::uint8_t* here = WorkBuf + pos;
    int best = 0;
    for (int c = LzChain[pos]; c >= lowest; c = LzChain[c]) {
        // A candidate that differs at offset best cannot be longer than best.
        if (WorkBuf[c + best] != here[best])
            continue;
        const int n = MatchLength(WorkBuf + c, here, limit);
        if (n > best) {
            best = n;
            *distance = pos - c;
            if (n >= limit)
                break;
        }
    }
    return best;
}

void Codec::HufOutLit(int byte) {
    if (LzItemCount >= BlockSize)
        FatalMessage("HufOutLit: buffer full");
    LzItems[LzItemCount++] = static_cast<std::uint32_t>(byte);
    MainTable.freq[byte] += 65536;
}

void Codec::HufOutRef(int lengthCode, int distanceCode) {
    if (LzItemCount >= BlockSize)
        FatalMessage("HufOutRef: buffer full");
    const int lc = BitWidth[lengthCode];
    const int dc = distanceCode < 256 ? BitWidth[distanceCode] : BitWidth[distanceCode >> 8] + 8;
    const int symbol = 256 + 16 * lc + dc;
    LzItems[LzItemCount++] = static_cast<std::uint32_t>(symbol) | static_cast<std::uint32_t>(lengthCode) << 9 |
                             static_cast<std::uint32_t>(distanceCode) << 17;
    MainTable.freq[symbol] += 65536;
}

void Codec::LzxEmit() {
    FresToLen(&MainTable);
    SendLens(&MainTable);
    LenToVal(&MainTable);

    for (int i = 0; i < LzItemCount; ++i) {
        const std::uint32_t item = LzItems[i];
        const int symbol = static_cast<int>(item & 0x1FF);
        BitPut(MainTable.length[symbol], MainTable.code[symbol]);
        if (symbol >= 256) {
            const int lc = (symbol & 255) >> 4;
            const int dc = symbol & 15;
            if (lc >= 2)
                BitPut(lc - 1, (item >> 9) & ((1u << (lc - 1)) - 1));
            if (dc >= 2)
                BitPut(dc - 1, (item >> 17) & ((1u << (dc - 1)) - 1));
        }
        // A guard, not a limit that data can reach: the writer must never
        // leave BitBuf.
        if (BitPos > BitLimit)
            FatalMessage("LzxPack: buffer full");
    }
}

int Codec::LzxPack(int m) {
    for (std::int16_t& head : LzHead)
        head = -1;
    for (int i = 0; i < m; ++i) {
        const int h = LzHash(WorkBuf + i);
        LzChain[i] = LzHead[h];
        LzHead[h] = static_cast<std::int16_t>(i);
    }

    BitPos = 0;
    LzxInit();
    for (int i = 0; i < m;) {
        int distance = 0;
        const int length = LzxMatch(i, m - i, &distance);
        if (length >= LzMinMatch) {
            HufOutRef(length - 3, distance - 1);
            i += length;
        } else {
            HufOutLit(WorkBuf[i]);
            i += 1;
        }
    }
    LzxEmit();

    return BitFrame("LzxPack: buffer full");
}

void Codec::LzxRecvTable() {
    RecvLens(&MainTable, LzSymbols);
    LenToVal(&MainTable);
    DecodeInit(&MainTable);
}

namespace {

// n bits at the local bit position.
inline std::uint32_t TakeBits(const std::uint8_t* buffer, std::int32_t& pos, int n) {
    const std::uint32_t bits = (Load32(buffer + (pos >> 3)) >> (pos & 7)) & ((1u << n) - 1);
    pos += n;
    return bits;
}

// One literal or reference, decoded at the local bit position and written
// at out. Every check of a damaged block is here, before the write.
inline void LzxGetItem(Codec& codec, std::int32_t& pos, int& out) {
    const std::uint32_t bits = Load32(codec.BitBuf + (pos >> 3)) >> (pos & 7);
    const int s = codec.DecodeSymbol(&codec.MainTable, bits);
    pos += codec.MainTable.length[s];

    if (s < 256) {
        if (out >= BlockSize)
            FatalMessage("LzxUnpack: more than %d bytes decoded", BlockSize);
        codec.WorkBuf[out++] = static_cast<std::uint8_t>(s);
        return;
    }

    const int lc = (s & 255) >> 4;
    const int dc = s & 15;
    if (lc < 1 || lc > 8 || dc > 10)
        FatalMessage("LzxUnpack: bad reference symbol %d", s);
    const int L = lc <= 1 ? lc : (1 << (lc - 1)) + static_cast<int>(TakeBits(codec.BitBuf, pos, lc - 1));
    const int D = dc <= 1 ? dc : (1 << (dc - 1)) + static_cast<int>(TakeBits(codec.BitBuf, pos, dc - 1));
    const int length = L + 3;
    const int distance = D + 1;
    if (distance > out)
        FatalMessage("LzxUnpack: reference before the start of the block");
    if (out + length > BlockSize)
        FatalMessage("LzxUnpack: more than %d bytes decoded", BlockSize);

    std::uint8_t* to = codec.WorkBuf + out;
    const std::uint8_t* from = to - distance;
    if (distance >= 4) {
        // Each word is read from bytes already written. The last word may
        // run up to 3 bytes past the copy: they lie inside WorkBuf and are
        // overwritten by what follows.
        for (int i = 0; i < length; i += 4)
            Store32(to + i, Load32(from + i));
    } else {
        for (int i = 0; i < length; ++i)
            to[i] = from[i];
    }
    out += length;
}

}  // namespace

int Codec::LzxUnpack(int nbits) {
    BitPos = 0;
    LzxRecvTable();
    std::int32_t pos = BitPos;
    int out = 0;
    while (pos < nbits)
        LzxGetItem(*this, pos, out);
    BitPos = pos;
    if (BitPos != nbits)
        FatalMessage("LzxUnpack: too many bits read");
    return out;
}
