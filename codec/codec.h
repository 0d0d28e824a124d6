// codec.h - the block codec, private to the codec layer and the layers above it.
//
// A stream's data is cut into blocks of 16384 bytes, and every block is coded
// on its own, with nothing carried over from the block before:
//
//   EncodeBlock: [sort] -> run-length -> LZ or Huffman -> block record
//   DecodeBlock: block record -> LZ or Huffman -> run-length -> [unsort]
//
// All work areas of one block (the bit buffer, the work buffer, the code
// tables, the decode table, the LZ hash chains and item list, the sort grid)
// live in one Codec object, so that several codecs can run side by side,
// each on its own block. Every stream owns one, and each of its coding
// threads another.
//
// The codec layer's files:
//   cpu.h, x86/                   what the codec asks of the compiler and the processor
//   format.h, bitstream.h/.cpp    the format's constants; the bit reader and writer
//   huffman.h/.cpp                Huffman code construction
//   huffman_decode.cpp            the tables that decode a code
//   code_lengths.cpp              the table section (a code's lengths, sent and received)
//   huffman_method.cpp, lz.cpp    the two entropy methods
//   rle.cpp, sort.cpp             the run-length and sort stages
//   record.h/.cpp                 block records in memory
//   layout.h, lzxcore.cpp         the "LZX1" stream in memory and the C interface over it
//   crew.h/.cpp                   the block-parallel engine: blocks coded on several threads
//
// The codec needs nothing but the standard library: it is the library
// "lzxcore" that other programs link. The stream layer (stream/) puts its
// records in files and turns its failures into the fatal report.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "bitstream.h"
#include "cpu.h"
#include "format.h"
#include "huffman.h"
#include "match_finder.h"
#include "record.h"

// ---- Results ---------------------------------------------------------------
//
// The codec never ends the program. A stage that cannot go on records the
// text of the report in its codec and answers why; the stream and archive
// functions give that report at their edge, and the pipeline keeps it with
// its block until the block's turn. Every test of untrusted input (and of a
// limit the codec itself must keep) is one SAFETY_CHECK, so a reader sees
// at a glance where a damaged record is refused.
enum class CodecResult {
    Success,
    BadData,     // a damaged record
    CannotPack,  // a block the format cannot hold as asked (no empty row)
    Bug,         // a limit of the codec's own broken: never data's doing
    NoMemory,    // packing's work areas could not be made
};

#define SAFETY_CHECK(condition, result, ...)  \
    do {                                      \
        if (!(condition)) [[unlikely]]        \
            return Fail(result, __VA_ARGS__); \
    } while (0)

// Passes a stage's failure on to the caller.
#define CODEC_TRY(call)                                                      \
    do {                                                                     \
        if (const CodecResult tried = (call); tried != CodecResult::Success) \
            [[unlikely]] return tried;                                       \
    } while (0)

// ---- The codec -----------------------------------------------------------

// One block codec: every work area a block needs, so that codecs side by
// side never share anything. Its callers see whole records; the stages
// behind them are its own.
class Codec {
public:
    // Block records in memory: EncodeBlock writes one record to out (at
    // most MaxRecordSize bytes) and *size receives its size; DecodeBlock
    // decodes the record at the start of size bytes and *used receives the
    // bytes it took (a record longer than size is damaged). On a failure,
    // Failure() holds the report's text.
    static constexpr int MaxRecordSize = MaxRecordHead + BitLimit / 8;
    CodecResult EncodeBlock(const std::uint8_t* data, int flags, std::uint8_t* out, int* size);
    CodecResult DecodeBlock(const std::uint8_t* record, int size, std::uint8_t* destination, int flags, int* used);
    const char* Failure() const { return failure.c_str(); }

    // The same records in pieces, for a reader or writer that moves them
    // itself (a file) without a copy through a buffer of its own.
    // PackBlock packs one block: the record is head (headSize bytes), then
    // codedSize bytes at coded, which stay valid until the codec's next call.
    struct PackedRecord {
        std::uint8_t head[MaxRecordHead];
        int headSize;
        const std::uint8_t* coded;
        int codedSize;
    };
    CodecResult PackBlock(const std::uint8_t* data, int flags, PackedRecord* record);
    // Takes a record's head (parsed, its bit count valid) and answers where
    // its CodedBytes(head.nbits) coded bytes go; DecodeReceived then decodes
    // them.
    std::uint8_t* ReceiveRecord(const RecordHead& head);
    CodecResult DecodeReceived(int nbits, std::uint8_t* destination, int flags);

    // Two records decoded at once, each by its own codec, as DecodeBlock
    // decodes each: the same bytes, the same result and report (in its
    // codec's Failure()). Faster than one after the other: their chains of
    // waits overlap.
    struct BlockJob {
        const std::uint8_t* record;
        int size;
        std::uint8_t* destination;
        int used;
        CodecResult result;
    };
    static void DecodeBlockPair(Codec& a, Codec& b, BlockJob& first, BlockJob& second, int flags);

private:
    // The unit tests look at each stage and its work areas.
    friend struct TestCodec;

    // A record's coding. Between packing and writing, and between reading
    // and decoding, the record lives in BitBuf, RowOrder and RowCount; the
    // bit count passes through the caller.
    CodecResult PackRecord(const std::uint8_t* data, int flags, int* nbits);
    CodecResult LoadRecord(const std::uint8_t* record, int size, int flags, int* used, int* nbits);
    void ClearReach(int nbits);
    CodecResult FinishRecord(int m, std::uint8_t* destination, int flags);
    static void UnpackPair(Codec& a, Codec& b, const int nbits[2], bool huffman, CodecResult* firstResult,
                           CodecResult* secondResult, int m[2]);

    // Records the report's text; answers result.
    CodecResult Fail(CodecResult result, const char* format, ...) PRINTF_LIKE(3, 4);

    // Ends a packed block: *nbits receives the bit count, the block is
    // padded with zero bits to a byte boundary, and a padded block past
    // the limit fails with the text full.
    CodecResult BitFrame(const char* full, int* nbits);

    // Huffman code construction.
    CodecResult FresInit(HufTable* table, int n);
    CodecResult FresToLen(HufTable* table);
    void FresSort(HufTable* table);
    CodecResult TreeBuild(HufTable* table, int* nodes);
    CodecResult TreeToLen(HufTable* table, int node, int depth);
    CodecResult LenToVal(HufTable* table);

    // Code-length transmission and decoding. UnCode and DecodeLong answer
    // -1 for bits that no code matches.
    int LenRuns(const std::uint8_t* lengths, int n, LenItem* items);
    CodecResult SendLens(HufTable* table);
    CodecResult SendLenLens(const std::uint8_t* lengths, int count);
    CodecResult RecvLens(HufTable* table, int n);
    void RecvLenLens(std::uint8_t* lengths, int count);
    int UnCode(const HufTable* table, std::uint32_t bits) const;
    void DecodeInit(const HufTable* table);
    void BuildLongTables(const HufTable* table, int longest);
    int DecodeLong(const HufTable* table, std::uint32_t bits) const;

    // One symbol from the next stream bits (at least 24 valid): DecTab for
    // codes of up to 10 bits, then the second-level tables, and the linear
    // search of DecodeLong only where DecodeInit could not build them.
    // -1: no code matches.
    int DecodeSymbol(const HufTable* table, std::uint32_t bits) {
        const int s = DecTab[bits & (DecTabSize - 1)];
        if (s < DecTabLong)
            return s;
        if (LongBits != 0) {
            const int t = LongTab[LongIndex[bits & (DecTabSize - 1)] + ((bits >> DecTabBits) & LongMask)];
            if (t != NoLongSymbol)
                return t;
        }
        return DecodeLong(table, bits & 0xFFFFFF);
    }

    // The decoders' fast table, for prefix-free codes (every code a packer
    // builds): FastTab maps the next FastBits stream bits to an entry for
    // every code of up to FastBits bits: the bits of the whole item (the
    // code and, for a reference, its extra bits) in the low byte, where a
    // shift can take them without a mask; the symbol << 8; the code's
    // length << 24. An entry of 0 (a
    // longer code, bits that match no code, a symbol the method cannot use)
    // sends the decoder to DecodeSymbol, whose tables are built only then.
    // Without references (the byte method) an entry gives two bytes where
    // their codes fit in FastBits together (FastPair).
    // Answers false for a code that is not prefix-free: its decoding goes
    // through DecodeSymbol all the way, which settles every ambiguity.
    bool BuildFastTable(const HufTable* table, bool references);
    void PairFastTable(const HufTable* table, const std::uint16_t* byLength, const int* end);
    void NeedSlowTables(const HufTable* table) {
        if (!SlowReady) {
            DecodeInit(table);
            SlowReady = true;
        }
    }

    // Huffman block method: *nbits receives the block's bit count, *m the
    // length of the stage data decoded.
    CodecResult HufPack(int len, int* nbits);
    CodecResult HufUnpack(int nbits, int* m);
    // The byte loop (huffman_method.cpp) the same way: HufStep takes the
    // codes of one refill, HufPair two blocks' in turns.
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
    static void HufPair(const Codec& a, const Codec& b, HufLane& first, HufLane& second);

    // Run-length stage: *m receives the length of the stage data.
    CodecResult RlePack(const std::uint8_t* data, int* m);
    CodecResult RleUnpack(int m, std::uint8_t* destination);
    // The expansion (rle.cpp): one block's in progress is a lane, its
    // stage data and its output; RleUnit takes one step in the fast or the
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

    // LZ stage, the same way.
    CodecResult LzxPack(int m, int* nbits);
    CodecResult LzxUnpack(int nbits, int* m);
    CodecResult LzxInit();
    CodecResult HufOutLit(int byte);
    CodecResult HufOutRef(int lengthCode, int distanceCode);
    CodecResult LzxEmit();
    CodecResult LzxRecvTable(bool* fast);
    // The forms of a hot loop written once (lz.cpp, rle.cpp): the fast one,
    // which the caller's bounds free from the tests of a block's ends, and
    // the careful one, with every test.
    struct FastForm {
        static constexpr bool careful = false;
    };
    struct CarefulForm {
        static constexpr bool careful = true;
    };
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
    static void LzPair(Codec& a, Codec& b, LzLane& first, LzLane& second, CodecResult* firstResult,
                       CodecResult* secondResult);
    template <class Form>
    CodecResult LzItem(LzLane& lane);
    CodecResult CarefulLzItem(LzLane& lane);
    CodecResult SlowLzEntry(std::uint64_t bits, std::uint32_t* entry);
    CodecResult FinishLzLane(const LzLane& from, int nbits, int* decoded);

    // Sort stage.
    CodecResult SorPack(const std::uint8_t* data, std::uint8_t* out, std::uint8_t* order, int* n);
    CodecResult SorUnpack(const std::uint8_t* source, std::uint8_t* destination, const std::uint8_t* order, int n);
    int SorMarkEmpty();

    // The work areas.
    std::uint8_t BitBuf[BitBufSize + BitBufSlack] = {};
    std::int32_t BitPos = 0;

    std::uint8_t WorkBuf[WorkBufSize] = {};

    HufTable MainTable = {};  // the byte code (256) or the LZ code (400)
    HufTable LenTable = {};   // the length code (27)
    TreeNode Nodes[2 * MaxSymbols - 1] = {};
    std::uint16_t Active[MaxSymbols] = {};
    LenItem LenItems[MaxSymbols] = {};
    std::uint16_t DecTab[DecTabSize] = {};

    // Second-level decode tables for the codes longer than 10 bits: for each
    // DecTab entry of 512, a table indexed by the next LongBits stream bits.
    // They give exactly what DecodeLong's search gives (the lowest-numbered
    // matching long code), only faster. LongBits = 0: not built.
    static constexpr int LongPool = 16384;
    static constexpr std::uint16_t NoLongSymbol = 0xFFFF;
    int LongBits = 0;
    std::uint32_t LongMask = 0;
    std::uint16_t LongIndex[DecTabSize] = {};
    std::uint16_t LongTab[LongPool] = {};

    // An entry's fields: the item's bits (EntryBitsMask), the symbol at
    // EntrySymbolShift, the code's length at EntryLengthShift.
    static constexpr std::uint32_t EntryBitsMask = 0x3F;
    static constexpr int EntrySymbolShift = 8;
    static constexpr std::uint32_t EntrySymbolMask = 0xFFFF;
    static constexpr int EntryLengthShift = 24;
    static constexpr std::uint32_t EntryLengthMask = 0x1F;
    // Set in the entry of every symbol from 256 on: a reference.
    static constexpr std::uint32_t EntryReference = 256u << EntrySymbolShift;
    // Codes longer than FastBits: their prefix's entry is FastSub | table
    // bits << SubBitsShift | offset, and the second table, indexed by the
    // next bits, lies at FastTab + FastSize + offset.
    static constexpr std::uint32_t FastSub = 0x80000000u;
    static constexpr int SubBitsShift = 16;
    static constexpr std::uint32_t SubBitsMask = 0xFF;
    static constexpr std::uint32_t SubOffsetMask = 0xFFFF;
    // In the byte method's table: an entry of two bytes, whose two codes
    // together take no more than FastBits bits: both codes' bits | first
    // byte << EntrySymbolShift | second byte << PairSecondShift | the first
    // code's length << EntryLengthShift.
    static constexpr std::uint32_t FastPair = 0x40000000u;
    static constexpr int PairSecondShift = 16;
    static constexpr int FastPool = 4096;
    std::uint32_t FastTab[FastSize + FastPool] = {};
    // The entry for the next stream bits (at least 24 valid); 0: slow path.
    std::uint32_t FastLookup(std::uint64_t bits) const {
        std::uint32_t entry = FastTab[bits & (FastSize - 1)];
        if (entry & FastSub)
            entry = FastTab[FastSize + (entry & SubOffsetMask) +
                            ((bits >> FastBits) & ((1u << ((entry >> SubBitsShift) & SubBitsMask)) - 1))];
        return entry;
    }
    // The bits an entry takes (at most 40). The mask is the one a 64-bit
    // shift applies to its count anyway, so the shift needs no other.
    static int EntryBits(std::uint32_t entry) { return static_cast<int>(entry & EntryBitsMask); }
    static int EntrySymbol(std::uint32_t entry) { return static_cast<int>((entry >> EntrySymbolShift) & EntrySymbolMask); }
    // A pair's entry as the entry of its first byte alone, for the loop
    // that takes one code at a time near a block's end.
    static std::uint32_t FirstOfPair(std::uint32_t entry) {
        constexpr std::uint32_t keep = EntryLengthMask << EntryLengthShift | 0xFFu << EntrySymbolShift;
        return (entry & FastPair) ? (entry & keep) | ((entry >> EntryLengthShift) & EntryLengthMask) : entry;
    }
    bool SlowReady = false;
    // The fast-table entry of symbol s with a code of the given length; 0
    // for a symbol the method cannot use (a reference symbol without a
    // class).
    static std::uint32_t FastEntry(int s, int length, bool references) {
        int item = length;
        if (references && s >= 256) {
            const int lc = (s & 255) >> 4;
            const int dc = s & 15;
            if (lc < 1 || lc > 8 || dc > 10)
                return 0;
            item = length + (lc - 1) + (dc >= 2 ? dc - 1 : 0);
        }
        return static_cast<std::uint32_t>(item) | static_cast<std::uint32_t>(s) << EntrySymbolShift |
               static_cast<std::uint32_t>(length) << EntryLengthShift;
    }

    // The format's hash of the four bytes at a position into 10 bits. The
    // match finder's chains use a hash of their own (match_finder.h).
    static int LzHash(const std::uint8_t* at);
    // The match finder and the item list are packing's alone (128 KiB): they
    // are made when the codec first packs an LZ block, so that a codec that
    // only decodes goes without them. LzItems points into them.
    struct LzPackArea {
        MatchFinder finder;
        std::uint32_t items[BlockSize];
    };
    CodecResult MakeLzPackArea();
    std::unique_ptr<LzPackArea> lzPackArea;
    const MatchFinder& Finder() const { return lzPackArea->finder; }
    std::uint32_t* LzItems = nullptr;
    int LzItemCount = 0;

    std::uint8_t SortGrid[BlockSize] = {};
    std::uint8_t RowDone[SortRows] = {};
    std::uint8_t RowOrder[SortRows] = {};
    int RowCount = 0;

    std::string failure;  // the report of the last failure
};
