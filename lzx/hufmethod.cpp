// hufmethod.cpp - the Huffman block method.
//
// Every byte is coded on its own with a per-block code over the 256 byte
// values: the table section, then one code per byte, then zero bits up to the
// next byte boundary (not counted). There is no byte count and no end
// symbol; the block's bit count says where the data ends.
#include "lzx/codec.h"

int Codec::HufPack(int len) {
    int counts[ByteSymbols] = {};
    for (int i = 0; i < len; ++i)
        ++counts[WorkBuf[i]];

    BitPos = 0;
    BitWidthInit();
    FresInit(&MainTable, ByteSymbols);
    for (int b = 0; b < ByteSymbols; ++b)
        MainTable.freq[b] += static_cast<std::uint32_t>(counts[b]) << 16;
    FresToLen(&MainTable);
    SendLens(&MainTable);
    LenToVal(&MainTable);

    BitWriter bits(*this);
    for (int i = 0; i < len; ++i) {
        const int b = WorkBuf[i];
        bits.Put(MainTable.length[b], MainTable.code[b]);
        // A guard, not a limit that data can reach: the writer must never
        // leave BitBuf.
        if (bits.Position() > BitLimit) {
            bits.Done();
            FatalMessage("HufPack: buffer full");
        }
    }
    bits.Done();

    return BitFrame("HufPack: buffer full");
}

int Codec::HufUnpack(int nbits) {
    BitPos = 0;
    RecvLens(&MainTable, ByteSymbols);
    LenToVal(&MainTable);
    const bool fast = BuildFastTable(&MainTable, false);
    if (!fast)
        NeedSlowTables(&MainTable);

    // The hot loop: a local bit position, one word fetch per byte, one table
    // lookup for every code of up to FastBits bits.
    std::int32_t pos = BitPos;
    int out = 0;
    while (pos < nbits) {
        const std::uint64_t bits = Load64(BitBuf + (pos >> 3)) >> (pos & 7);
        std::uint32_t entry = fast ? FastTab[bits & (FastSize - 1)] : 0;
        if (entry == 0) {
            NeedSlowTables(&MainTable);
            const int s = DecodeSymbol(&MainTable, static_cast<std::uint32_t>(bits));
            entry = static_cast<std::uint32_t>(s) | static_cast<std::uint32_t>(MainTable.length[s]) << 16;
        }
        pos += static_cast<int>(entry >> 16);
        if (out == WorkBufSize)
            FatalMessage("HufUnpack: more than %d bytes decoded", WorkBufSize);
        WorkBuf[out++] = static_cast<std::uint8_t>(entry);
    }
    BitPos = pos;
    if (BitPos != nbits)
        FatalMessage("HufUnpack: too many bits read");
    return out;
}
