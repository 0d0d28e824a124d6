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

    // The forms of a hot loop written once (lz.cpp, rle.cpp): the fast one,
    // which the caller's bounds free from the tests of a block's ends, and
    // the careful one, with every test.
    struct FastForm {
        static constexpr bool careful = false;
    };
    struct CarefulForm {
        static constexpr bool careful = true;
    };

    // The byte loop (huffman_method.cpp): HufStep takes the codes of one
    // refill, HufPair two blocks' in turns.
    struct HufLane {
        BitReader in;
        std::uint8_t* out = nullptr;
        bool table = false;  // the fast table holds the block's code
        const std::uint8_t* fastEnd = nullptr;
    };
    // Whether the fast step may take the lane's next codes.
    bool HufFast(const HufLane& lane) const;
    CodecResult StartHuf(int nbits, HufLane* lane);
    bool HufStep(HufLane& lane) const;
    CodecResult FinishHufLane(const HufLane& from, int nbits, int* m);
    static void HufPair(const BlockDecoder& a, const BlockDecoder& b, HufLane& first, HufLane& second);

    // The expansion (rle.cpp): one block's in progress is a lane, its stage
    // data and its output; RleUnit takes one step in the fast or the
    // careful form.
    struct RleLane {
        const std::uint8_t* in = nullptr;
        const std::uint8_t* end = nullptr;  // the end of the stage data
        std::uint8_t* out = nullptr;
        std::uint8_t* outEnd = nullptr;     // the end of the block's output
        bool Fast() const;
    };
    CodecResult StartRle(int m, std::uint8_t* destination, RleLane* lane, bool* done);
    template <class Form>
    CodecResult RleUnit(RleLane& lane);
    CodecResult FinishRleLane(const RleLane& from);

    // The item loop (lz.cpp): one block's decoding in progress is a lane,
    // its reader, its output and its bounds; LzItem takes one item in the
    // fast or the careful form, LzPair two blocks' items in turns.
    struct LzLane {
        BitReader in;
        std::uint8_t* op = nullptr;
        std::uint32_t entry = 0;  // the fast form's next first-level entry, looked up ahead
        bool table = false;       // the fast table holds the block's code
        const std::uint8_t* fastEnd = nullptr;
    };
    // Whether the fast form may take the lane's next item.
    bool LzFast(const LzLane& lane) const;
    CodecResult StartLzx(int nbits, LzLane* lane);
    LzLane StartLzLane(int nbits, bool table);
    static void LzPair(BlockDecoder& a, BlockDecoder& b, LzLane& first, LzLane& second, CodecResult* firstResult,
                       CodecResult* secondResult);
    template <class Form>
    CodecResult LzItem(LzLane& lane);
    CodecResult CarefulLzItem(LzLane& lane);
    CodecResult SlowLzEntry(std::uint64_t bits, std::uint32_t* entry);
    CodecResult FinishLzLane(const LzLane& from, int nbits, int* decoded);

    DecodeTables tables;
};
