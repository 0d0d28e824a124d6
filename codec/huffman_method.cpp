// huffman_method.cpp - the Huffman block method.
//
// Every byte is coded on its own with a per-block code over the 256 byte
// values: the table section, then one code per byte, then zero bits up to the
// next byte boundary (not counted). There is no byte count and no end
// symbol; the block's bit count says where the data ends.
#include <algorithm>

#include "decoder.h"
#include "encoder.h"

CodecResult BlockEncoder::HufPack(int len, int* nbits) {
    const std::uint8_t* const WorkBuf = area.WorkBuf;
    HufTable& MainTable = area.MainTable;
    int counts[ByteSymbols] = {};
    for (int i = 0; i < len; ++i)
        ++counts[WorkBuf[i]];

    area.BitPos = 0;
    CODEC_TRY(CodeBuilder::FresInit(&MainTable, ByteSymbols, area));
    for (int b = 0; b < ByteSymbols; ++b)
        MainTable.freq[b] += static_cast<std::uint32_t>(counts[b]) << FreqCountShift;
    CODEC_TRY(builder.FresToLen(&MainTable, area));
    CODEC_TRY(SendLens(&MainTable));
    CODEC_TRY(CodeBuilder::LenToVal(&MainTable, area));

    BitWriter bits(area.BitBuf, area.BitPos);
    for (int i = 0; i < len; ++i) {
        const int b = WorkBuf[i];
        bits.Put(MainTable.length[b], MainTable.code[b]);
        // A guard, not a limit that data can reach: the writer must never
        // leave BitBuf.
        SAFETY_CHECK(bits.Position() <= BitLimit, CodecResult::Bug, "HufPack: buffer full");
    }
    area.BitPos = bits.Done();

    return BitFrame("HufPack: buffer full", nbits);
}

// Receives the block's code and sets a lane at its first byte.
CodecResult BlockDecoder::StartHuf(int nbits, HufLane* lane) {
    CODEC_TRY(RecvMainTable(ByteSymbols, &lane->table));
    lane->in = BitReader(BitBuf, BitPos);
    lane->out = WorkBuf;
    // The block's bounds worked out once: while four entries from the
    // position stay inside the block's bits and eight more bytes inside
    // WorkBuf, the fast step tests neither per entry. Every path through it
    // ends in a refill, so the position's test is one compare of
    // RefillFrom() with the byte that bounds it.
    lane->fastEnd = BitBuf + std::max(0, (nbits - 4 * FastBits + RefillBits) / 8);
    lane->in.Refill();
    return CodecResult::Success;
}

// The output's bound is the codec's own, so that a loop over two lanes need
// not keep it beside each.
inline bool BlockDecoder::HufFast(const HufLane& lane) const {
    return lane.in.RefillFrom() <= lane.fastEnd && lane.out <= WorkBuf + WorkBufSize - 8;
}

// The fast step: a refill carries at least 56 bits, enough for four
// entries of up to FastBits bits, each found with one lookup and each
// giving one byte or two (stored without a branch, the output moving on by
// one or two). A longer code (up to 24 bits) is taken only first after a
// refill. False, with nothing taken: bits that no entry of the fast table
// holds, whatever they are, which the careful loop takes, with every test
// and every report.
FORCE_INLINE bool BlockDecoder::HufStep(HufLane& lane) const {
    BitReader& in = lane.in;
    std::uint8_t*& out = lane.out;
    std::uint32_t entry = tables.FastFirst(in.Peek());
    if (entry & FastSub) {
        entry = tables.FastLookup(in.Peek());
        if (entry == 0)
            return false;
        in.Skip(EntryBits(entry));
        *out++ = static_cast<std::uint8_t>(entry >> EntrySymbolShift);
        in.Refill();
        return true;
    }
    if (entry == 0)
        return false;
    for (int i = 0;;) {
        in.Skip(EntryBits(entry));
        out[0] = static_cast<std::uint8_t>(entry >> EntrySymbolShift);
        out[1] = static_cast<std::uint8_t>(entry >> PairSecondShift);
        out += 1 + static_cast<int>((entry & FastPair) != 0);
        if (++i == 4)
            break;
        entry = tables.FastFirst(in.Peek());
        if (entry == 0 || (entry & FastSub))
            break;
    }
    in.Refill();
    return true;
}

// A lane's bytes from where it stands to the end of its block: the fast
// step while it may, then one code at a time with every test. A pair is
// taken one byte at a time there: its second code may lie past the
// block's bits.
CodecResult BlockDecoder::FinishHufLane(const HufLane& from, int nbits, int* m) {
    HufLane lane = from;
    while (lane.table && HufFast(lane) && HufStep(lane)) {
    }
    BitReader& in = lane.in;
    int out = static_cast<int>(lane.out - WorkBuf);
    const bool fast = lane.table;
    while (in.Position() < nbits) {
        in.Refill();
        for (int i = 0; i < 4 && in.Position() < nbits; ++i) {
            std::uint32_t entry = fast ? tables.FastFirst(in.Peek()) : 0;
            entry = FirstOfPair(entry);
            if (entry == 0 || (entry & FastSub)) {
                if (i > 0)
                    break;
                entry = fast ? tables.FastLookup(in.Peek()) : 0;
                if (entry == 0) {
                    tables.NeedSlowTables(&MainTable);
                    const int s = tables.DecodeSymbol(&MainTable, static_cast<std::uint32_t>(in.Peek()));
                    SAFETY_CHECK(s >= 0, CodecResult::BadData, "DecodeLong: code not found");
                    entry = FastEntry(s, MainTable.length[s], false);
                }
                i = 4;
            }
            in.Skip(EntryBits(entry));
            SAFETY_CHECK(out < WorkBufSize, CodecResult::BadData, "HufUnpack: more than %d bytes decoded", WorkBufSize);
            WorkBuf[out++] = static_cast<std::uint8_t>(entry >> EntrySymbolShift);
        }
    }
    BitPos = in.Position();
    SAFETY_CHECK(BitPos == nbits, CodecResult::BadData, "HufUnpack: too many bits read");
    *m = out;
    return CodecResult::Success;
}

CodecResult BlockDecoder::HufUnpack(int nbits, int* m) {
    HufLane lane;
    CODEC_TRY(StartHuf(nbits, &lane));
    return FinishHufLane(lane, nbits, m);
}

// Two blocks' bytes in turns, while both may take the fast step; the
// lanes live in registers inside the loop.
void BlockDecoder::HufPair(const BlockDecoder& a, const BlockDecoder& b, HufLane& first, HufLane& second) {
    if (!first.table || !second.table)
        return;
    HufLane x = first;
    HufLane y = second;
    while (a.HufFast(x) && b.HufFast(y)) {
        if (!a.HufStep(x) || !b.HufStep(y))
            break;
    }
    first = x;
    second = y;
}
