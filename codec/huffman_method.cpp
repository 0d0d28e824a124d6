// huffman_method.cpp - the Huffman block method.
//
// Every byte is coded on its own with a per-block code over the 256 byte
// values: the table section, then one code per byte, then zero bits up to the
// next byte boundary (not counted). There is no byte count and no end
// symbol; the block's bit count says where the data ends.
#include "decoder.h"
#include "encoder.h"

CodecResult BlockEncoder::HufPack(int len, int* nbits) {
    const std::uint8_t* const WorkBuf = area.WorkBuf;
    HufTable& MainTable = area.MainTable;
    int counts[ByteSymbols] = {};
    for (int i = 0; i < len; ++i)
        ++counts[WorkBuf[i]];

    area.BitPos = 0;
    CODEC_TRY(CodeBuilder::FresInit(&MainTable, ByteSymbols, area.Report()));
    for (int b = 0; b < ByteSymbols; ++b)
        MainTable.freq[b] += static_cast<std::uint32_t>(counts[b]) << FreqCountShift;
    CODEC_TRY(builder.FresToLen(&MainTable, area.Report()));
    CODEC_TRY(SendLens(&MainTable));
    CODEC_TRY(CodeBuilder::LenToVal(&MainTable, area.Report()));

    // A guard, not a limit that data can reach: the writer must never leave
    // BitBuf. The counts and the lengths give the block's width, so it is
    // tested once, before the bytes go out.
    std::uint64_t total = static_cast<std::uint64_t>(area.BitPos);
    for (int b = 0; b < ByteSymbols; ++b)
        total += static_cast<std::uint64_t>(counts[b]) * MainTable.length[b];
    SAFETY_CHECK(total <= BitLimit, CodecResult::Bug, "HufPack: buffer full");

    BitWriter bits(area.BitBuf, area.BitPos);
    for (int i = 0; i < len; ++i) {
        const int b = WorkBuf[i];
        bits.Put(MainTable.length[b], MainTable.code[b]);
    }
    area.BitPos = bits.Done();

    return BitFrame("HufPack: buffer full", nbits);
}

// ---- The byte loop ----------------------------------------------------------
//
// A step takes the codes of one refill (the forms: decoder.h). A refill
// carries at least 56 bits, enough for four entries of up to FastBits
// bits, each found with one lookup. A longer code (up to 24 bits) is taken
// only first after a refill, and alone.
//
//   FastForm     each entry gives one byte or two (a pair: stored without a
//                branch, the output moving on by one or two), and the lane
//                is refilled at the step's end.
//   CarefulForm  refills at the step's start and takes one code at a time,
//                a pair's first byte alone (its second code may lie past
//                the block's bits), each inside the block's bits and the
//                output tested before it is taken.

namespace {

// The fast form's budgets: it runs while four entries from the position lie
// inside the block's bits, and while the output has room for four pairs.
constexpr int HufFastBits = 4 * FastBits;
constexpr int HufFastRoom = 8;

}  // namespace

// Receives the block's code and sets a lane at its first byte.
CodecResult BlockDecoder::StartHuf(int nbits, HufLane* lane) {
    CODEC_TRY(StartBitLane(ByteSymbols, nbits, HufFastBits, lane));
    lane->out = WorkBuf;
    return CodecResult::Success;
}

inline bool BlockDecoder::Fast(const HufLane& lane) const {
    return lane.in.RefillFrom() <= lane.fastEnd && lane.out <= WorkBuf + WorkBufSize - HufFastRoom;
}

template <class Form>
FORCE_INLINE CodecResult BlockDecoder::Step(HufLane& lane) {
    BitReader& in = lane.in;
    std::uint8_t*& out = lane.out;
    // Without a fast table (the careful form alone), every code goes the
    // slow way.
    const bool table = !Form::careful || lane.table;
    if constexpr (Form::careful)
        in.Refill();
    std::uint32_t entry = table ? tables.FastFirst(in.Peek()) : 0;
    if constexpr (Form::careful)
        entry = FirstOfPair(entry);
    int codes = 4;
    if (entry == 0 || (entry & FastSub)) [[unlikely]] {
        entry = table ? tables.FastLookup(in.Peek()) : 0;
        if (entry == 0) {
            if constexpr (!Form::careful) {
                // Through a copy, as the LZ items do.
                HufLane slow = lane;
                CODEC_TRY(CarefulStep(slow));
                lane = slow;
                in.Refill();
                return CodecResult::Success;
            } else {
                tables.NeedSlowTables(&MainTable);
                const int s = tables.DecodeSymbol(&MainTable, static_cast<std::uint32_t>(in.Peek()));
                SAFETY_CHECK(s >= 0, CodecResult::BadData, "DecodeLong: code not found");
                entry = FastEntry(s, MainTable.length[s], false);
            }
        }
        codes = 1;
    }
    for (int i = 0;;) {
        in.Skip(EntryBits(entry));
        if constexpr (Form::careful) {
            SAFETY_CHECK(out < WorkBuf + WorkBufSize, CodecResult::BadData, "HufUnpack: more than %d bytes decoded",
                         WorkBufSize);
            *out++ = static_cast<std::uint8_t>(entry >> EntrySymbolShift);
        } else {
            out[0] = static_cast<std::uint8_t>(entry >> EntrySymbolShift);
            out[1] = static_cast<std::uint8_t>(entry >> PairSecondShift);
            out += 1 + static_cast<int>((entry & FastPair) != 0);
        }
        if (++i == codes || (Form::careful && Done(lane)))
            break;
        entry = tables.FastFirst(in.Peek());
        if constexpr (Form::careful)
            entry = FirstOfPair(entry);
        if (entry == 0 || (entry & FastSub))
            break;
    }
    if constexpr (!Form::careful)
        in.Refill();
    return CodecResult::Success;
}

// A lane's bytes from where it stands to the end of its block.
CodecResult BlockDecoder::FinishHufLane(HufLane& lane, int* m) {
    CODEC_TRY(RunLane(lane));
    BitPos = lane.in.Position();
    SAFETY_CHECK(BitPos == lane.nbits, CodecResult::BadData, "HufUnpack: too many bits read");
    *m = static_cast<int>(lane.out - WorkBuf);
    return CodecResult::Success;
}

CodecResult BlockDecoder::HufUnpack(int nbits, int* m) {
    HufLane lane;
    CODEC_TRY(StartHuf(nbits, &lane));
    return FinishHufLane(lane, m);
}

template void BlockDecoder::RunPair(BlockDecoder&, BlockDecoder&, HufLane&, HufLane&, CodecResult*, CodecResult*);
