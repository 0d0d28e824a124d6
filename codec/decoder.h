// decoder.h - decoding a block: its stages over a block area and the
// tables that decode the block's code. A decoder holds nothing that only
// packing needs.
#pragma once

#include <cstdint>

#include "bitstream.h"
#include "block.h"
#include "decode_tables.h"
#include "record.h"

class BlockDecoder : public BlockArea {
public:
    // The record at the start of size bytes into destination (BlockSize
    // bytes); *used receives the bytes it took (a record longer than size
    // is damaged).
    CodecResult DecodeBlock(const std::uint8_t* record, int size, std::uint8_t* destination, int flags, int* used);
    // The same in pieces, for a reader that moves the record itself:
    // ReceiveRecord takes its head (parsed, its bit count valid) and answers
    // where its CodedBytes(head.nbits) coded bytes go; DecodeReceived then
    // decodes them.
    std::uint8_t* ReceiveRecord(const RecordHead& head);
    CodecResult DecodeReceived(int nbits, std::uint8_t* destination, int flags);

    // Two records decoded at once, each by its own decoder, as DecodeBlock
    // decodes each: the same bytes, the same result and report. Faster than
    // one after the other: their chains of waits overlap.
    struct BlockJob {
        const std::uint8_t* record;
        int size;
        std::uint8_t* destination;
        int used;
        CodecResult result;
    };
    static void DecodeBlockPair(BlockDecoder& a, BlockDecoder& b, BlockJob& first, BlockJob& second, int flags);

    // The stages. The entropy methods decode the nbits at BitBuf into
    // WorkBuf (*m: the stage data's length); RleUnpack expands WorkBuf's m
    // bytes into destination.
    CodecResult HufUnpack(int nbits, int* m);
    CodecResult LzxUnpack(int nbits, int* m);
    CodecResult RleUnpack(int m, std::uint8_t* destination);
    CodecResult SorUnpack(const std::uint8_t* source, std::uint8_t* destination, const std::uint8_t* order, int n);
    // The entropy method of two blocks at once, as each alone: a block
    // whose result is not Success on entry is left out.
    static void UnpackPair(BlockDecoder& a, BlockDecoder& b, const int nbits[2], bool huffman,
                           CodecResult* firstResult, CodecResult* secondResult, int m[2]);

    // The table section at BitPos: n code lengths into table.
    CodecResult RecvLens(HufTable* table, int n);
    DecodeTables& Tables() { return tables; }

private:
    CodecResult LoadRecord(const std::uint8_t* record, int size, int flags, int* used, int* nbits);
    void ClearReach(int nbits);
    CodecResult FinishRecord(int m, std::uint8_t* destination, int flags);
    void RecvLenLens(std::uint8_t* lengths, int count);
    // Receives a block's main code and its fast table (false: not
    // prefix-free, DecodeSymbol's tables built instead).
    CodecResult RecvMainTable(int symbols, bool* fast);

    // ---- The hot loops, written once ------------------------------------
    //
    // Each entropy method, and the run-length expansion, decodes a block
    // through a lane: its decoding in progress, the reader or input, the
    // output and the bounds. Step takes one step of a lane in one of two
    // forms, both made from one body for each kind of lane:
    //
    //   FastForm     for the bulk of a block. While the lane's budgets hold
    //                (Fast: the input left and the room in the output that
    //                any one step can take), it leaves out every test of
    //                the block's ends; what it cannot take (bits no entry
    //                of the fast table holds) it hands to one careful step.
    //   CarefulForm  for the rest of the block, for a code that is not
    //                prefix-free (its symbols come from DecodeSymbol), and
    //                for the fast form's rare steps: every test, before
    //                every write.
    //
    // Every report a damaged block can give comes from the same test in the
    // same order either way: the fast form stops before any test it leaves
    // out could fail. RunLane takes a lane to its end, RunPair two blocks'
    // lanes in turns while both may take the fast form.
    struct FastForm {
        static constexpr bool careful = false;
    };
    struct CarefulForm {
        static constexpr bool careful = true;
    };
    // What the lanes of both entropy methods have: the reader over the
    // block's nbits and the fast form's bound on it.
    struct BitLane {
        BitReader in;
        bool table = false;  // the fast table holds the block's code
        const std::uint8_t* fastEnd = nullptr;
        int nbits = 0;
    };
    // The LZ items (lz.cpp).
    struct LzLane : BitLane {
        std::uint8_t* op = nullptr;
        std::uint32_t entry = 0;  // the fast form's next first-level entry, looked up ahead
    };
    // The Huffman method's bytes (huffman_method.cpp): a step takes the
    // codes of one refill.
    struct HufLane : BitLane {
        std::uint8_t* out = nullptr;
    };
    // The run-length units (rle.cpp): the stage data, and the output.
    struct RleLane {
        const std::uint8_t* in = nullptr;
        const std::uint8_t* end = nullptr;  // the end of the stage data
        std::uint8_t* out = nullptr;
        std::uint8_t* outEnd = nullptr;     // the end of the block's output
    };
    // Whether the fast form may take the lane's next step. A lane whose
    // code has no fast table never may. The output's bound of the entropy
    // methods is the decoder's own, so that a loop over two lanes need not
    // keep it beside each.
    bool Fast(const LzLane& lane) const;
    bool Fast(const HufLane& lane) const;
    static bool Fast(const RleLane& lane);
    // Whether the lane is at its end.
    static bool Done(const LzLane& lane) { return lane.in.Position() >= lane.nbits; }
    static bool Done(const HufLane& lane) { return lane.in.Position() >= lane.nbits; }
    static bool Done(const RleLane& lane) { return lane.out >= lane.outEnd; }
    template <class Form>
    CodecResult Step(LzLane& lane);
    template <class Form>
    CodecResult Step(HufLane& lane);
    template <class Form>
    CodecResult Step(RleLane& lane);
    template <class Lane>
    CodecResult CarefulStep(Lane& lane);
    template <class Lane>
    CodecResult RunLane(Lane& lane);
    template <class Lane>
    static void RunPair(BlockDecoder& a, BlockDecoder& b, Lane& first, Lane& second, CodecResult* firstResult,
                        CodecResult* secondResult);

    // Receives a block's code (of symbols) and sets the reader at the start
    // of its items, with the fast form's bound: while the reader is under
    // it, budget bits of the block are left.
    CodecResult StartBitLane(int symbols, int nbits, int budget, BitLane* lane);
    // Receive a block's code and set a lane at its start; take a lane to
    // its block's end, with the tests of that end.
    CodecResult StartLzx(int nbits, LzLane* lane);
    CodecResult FinishLzLane(LzLane& lane, int* decoded);
    CodecResult SlowLzEntry(std::uint64_t bits, std::uint32_t* entry);
    CodecResult StartHuf(int nbits, HufLane* lane);
    CodecResult FinishHufLane(HufLane& lane, int* m);

    DecodeTables tables;
};

// The driver of every lane, and of two at once (see the forms above). The
// lanes are copied in and out, so that inside the loops they live in
// registers.
template <class Lane>
CodecResult BlockDecoder::RunLane(Lane& from) {
    Lane lane = from;
    while (Fast(lane))
        CODEC_TRY(Step<FastForm>(lane));
    while (!Done(lane))
        CODEC_TRY(Step<CarefulForm>(lane));
    from = lane;
    return CodecResult::Success;
}

// A failure ends the loop with that block's result; each block then goes
// on alone.
template <class Lane>
void BlockDecoder::RunPair(BlockDecoder& a, BlockDecoder& b, Lane& first, Lane& second, CodecResult* firstResult,
                           CodecResult* secondResult) {
    Lane x = first;
    Lane y = second;
    while (a.Fast(x) && b.Fast(y)) {
        if (const CodecResult r = a.Step<FastForm>(x); r != CodecResult::Success) [[unlikely]] {
            *firstResult = r;
            break;
        }
        if (const CodecResult r = b.Step<FastForm>(y); r != CodecResult::Success) [[unlikely]] {
            *secondResult = r;
            break;
        }
    }
    first = x;
    second = y;
}

// Each method's pair is made where its steps are (lz.cpp,
// huffman_method.cpp).
extern template void BlockDecoder::RunPair(BlockDecoder&, BlockDecoder&, LzLane&, LzLane&, CodecResult*,
                                           CodecResult*);
extern template void BlockDecoder::RunPair(BlockDecoder&, BlockDecoder&, HufLane&, HufLane&, CodecResult*,
                                           CodecResult*);

// The careful form out of line, for the fast form's rare steps: inlined
// there, it would crowd the hot loop.
template <class Lane>
NEVER_INLINE CodecResult BlockDecoder::CarefulStep(Lane& lane) {
    return Step<CarefulForm>(lane);
}
