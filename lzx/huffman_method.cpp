// huffman_method.cpp - the Huffman block method.
//
// Every byte is coded on its own with a per-block code over the 256 byte
// values: the table section, then one code per byte, then zero bits up to the
// next byte boundary (not counted). There is no byte count and no end
// symbol; the block's bit count says where the data ends.
#include <algorithm>

#include "lzx/codec.h"

CodecResult Codec::HufPack(int len, int* nbits) {
    int counts[ByteSymbols] = {};
    for (int i = 0; i < len; ++i)
        ++counts[WorkBuf[i]];

    BitPos = 0;
    CODEC_TRY(FresInit(&MainTable, ByteSymbols));
    for (int b = 0; b < ByteSymbols; ++b)
        MainTable.freq[b] += static_cast<std::uint32_t>(counts[b]) << 16;
    CODEC_TRY(FresToLen(&MainTable));
    CODEC_TRY(SendLens(&MainTable));
    CODEC_TRY(LenToVal(&MainTable));

    BitWriter bits(BitBuf, BitPos);
    for (int i = 0; i < len; ++i) {
        const int b = WorkBuf[i];
        bits.Put(MainTable.length[b], MainTable.code[b]);
        // A guard, not a limit that data can reach: the writer must never
        // leave BitBuf.
        SAFETY_CHECK(bits.Position() <= BitLimit, CodecResult::Bug, "HufPack: buffer full");
    }
    BitPos = bits.Done();

    return BitFrame("HufPack: buffer full", nbits);
}

CodecResult Codec::HufUnpack(int nbits, int* m) {
    BitPos = 0;
    CODEC_TRY(RecvLens(&MainTable, ByteSymbols));
    CODEC_TRY(LenToVal(&MainTable));
    const bool fast = BuildFastTable(&MainTable, false);
    if (!fast)
        NeedSlowTables(&MainTable);

    // The hot loops: a refill carries at least 56 bits, enough for four
    // entries of up to FastBits bits, each found with one lookup and each
    // giving one byte or two. A longer code (up to 24 bits) is taken only
    // first after a refill.
    BitReader in(BitBuf, BitPos);
    int out = 0;

    // The block's bounds worked out once: while four entries from the
    // position stay inside the block's bits and eight more bytes inside
    // WorkBuf, the first loop tests neither per entry. Every path through
    // it ends in a refill, so the position's test is one compare of
    // RefillFrom() with the byte that bounds it. An entry's two bytes are
    // stored without a branch and the output moves on by one or two. Bits
    // that no entry of the fast table holds, whatever they are, go to the
    // second loop, which has every test and every report.
    if (fast) {
        const std::uint8_t* const fastEnd = BitBuf + std::max(0, (nbits - 4 * FastBits + RefillBits) / 8);
        std::uint8_t* const work = WorkBuf;
        in.Refill();
        while (in.RefillFrom() <= fastEnd && out <= WorkBufSize - 8) {
            std::uint32_t entry = FastTab[in.Peek() & (FastSize - 1)];
            if (entry & FastSub) {
                entry = FastLookup(in.Peek());
                if (entry == 0)
                    break;
                in.Skip(EntryBits(entry));
                work[out++] = static_cast<std::uint8_t>(entry >> 8);
                in.Refill();
                continue;
            }
            if (entry == 0)
                break;
            for (int i = 0;;) {
                in.Skip(EntryBits(entry));
                work[out] = static_cast<std::uint8_t>(entry >> 8);
                work[out + 1] = static_cast<std::uint8_t>(entry >> 16);
                out += 1 + static_cast<int>((entry & FastPair) != 0);
                if (++i == 4)
                    break;
                entry = FastTab[in.Peek() & (FastSize - 1)];
                if (entry == 0 || (entry & FastSub))
                    break;
            }
            in.Refill();
        }
    }

    // A pair is taken one byte at a time here: its second code may lie
    // past the block's bits.
    while (in.Position() < nbits) {
        in.Refill();
        for (int i = 0; i < 4 && in.Position() < nbits; ++i) {
            std::uint32_t entry = fast ? FastTab[in.Peek() & (FastSize - 1)] : 0;
            entry = FirstOfPair(entry);
            if (entry == 0 || (entry & FastSub)) {
                if (i > 0)
                    break;
                entry = fast ? FastLookup(in.Peek()) : 0;
                if (entry == 0) {
                    NeedSlowTables(&MainTable);
                    const int s = DecodeSymbol(&MainTable, static_cast<std::uint32_t>(in.Peek()));
                    SAFETY_CHECK(s >= 0, CodecResult::BadData, "DecodeLong: code not found");
                    entry = static_cast<std::uint32_t>(MainTable.length[s]) | static_cast<std::uint32_t>(s) << 8;
                }
                i = 4;
            }
            in.Skip(EntryBits(entry));
            SAFETY_CHECK(out < WorkBufSize, CodecResult::BadData, "HufUnpack: more than %d bytes decoded", WorkBufSize);
            WorkBuf[out++] = static_cast<std::uint8_t>(entry >> 8);
        }
    }
    BitPos = in.Position();
    SAFETY_CHECK(BitPos == nbits, CodecResult::BadData, "HufUnpack: too many bits read");
    *m = out;
    return CodecResult::Success;
}
