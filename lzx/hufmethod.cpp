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

    for (int i = 0; i < len; ++i) {
        const int b = WorkBuf[i];
        BitPut(MainTable.length[b], MainTable.code[b]);
        // A guard, not a limit that data can reach: the writer must never
        // leave BitBuf.
        if (BitPos > BitLimit)
            FatalMessage("HufPack: buffer full");
    }

    return BitFrame("HufPack: buffer full");
}

int Codec::HufUnpack(int nbits) {
    BitPos = 0;
    RecvLens(&MainTable, ByteSymbols);
    LenToVal(&MainTable);
    DecodeInit(&MainTable);

    // The hot loop: a local bit position, one word fetch per byte, one table
    // lookup for every code of up to 10 bits.
    std::int32_t pos = BitPos;
    int out = 0;
    while (pos < nbits) {
        const std::uint32_t bits = Load32(BitBuf + (pos >> 3)) >> (pos & 7);
        const int s = DecodeSymbol(&MainTable, bits);
        pos += MainTable.length[s];
        if (out == WorkBufSize)
            FatalMessage("HufUnpack: more than %d bytes decoded", WorkBufSize);
        WorkBuf[out++] = static_cast<std::uint8_t>(s);
    }
    BitPos = pos;
    if (BitPos != nbits)
        FatalMessage("HufUnpack: too many bits read");
    return out;
}
