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
// so a search also finds positions inside earlier matches; the chains and
// their walk are the match finder's (match_finder.h).
#include <new>

#include "decoder.h"
#include "encoder.h"

CodecResult BlockEncoder::MakeLzPackArea() {
    if (lzPackArea != nullptr)
        return CodecResult::Success;
    lzPackArea.reset(new (std::nothrow) LzPackArea);
    if (lzPackArea == nullptr)
        return area.Report().Fail(CodecResult::NoMemory, "LzxPack: out of memory");
    lzItems = lzPackArea->items;
    return CodecResult::Success;
}

CodecResult BlockEncoder::LzxInit() {
    CODEC_TRY(MakeLzPackArea());
    lzItemCount = 0;
    return CodeBuilder::FresInit(&area.MainTable, LzSymbols, area.Report());
}

CodecResult BlockEncoder::HufOutItem(std::uint32_t item) {
    SAFETY_CHECK(lzItemCount < BlockSize, CodecResult::Bug, "HufOutItem: buffer full");
    lzItems[lzItemCount++] = item;
    area.MainTable.freq[item & ItemSymbolMask] += FreqUnit;
    return CodecResult::Success;
}

CodecResult BlockEncoder::HufOutLit(int byte) {
    return HufOutItem(static_cast<std::uint32_t>(byte));
}

namespace {

inline std::uint32_t ReferenceItem(int lengthCode, int distanceCode) {
    const int lc = BitWidth[lengthCode];
    const int dc = distanceCode < 256 ? BitWidth[distanceCode] : BitWidth[distanceCode >> 8] + 8;
    const int symbol = 256 + 16 * lc + dc;
    return static_cast<std::uint32_t>(symbol) | static_cast<std::uint32_t>(lengthCode) << ItemLengthShift |
           static_cast<std::uint32_t>(distanceCode) << ItemDistanceShift;
}

}  // namespace

CodecResult BlockEncoder::HufOutRef(int lengthCode, int distanceCode) {
    return HufOutItem(ReferenceItem(lengthCode, distanceCode));
}

namespace {

// How one symbol is written with its extra bits in one put: the code, the
// code's length (where L's extra bits go), the masks of L's and D's extra
// bits (the fields without their implied top bit), where D's go, and the
// item's whole width. A literal's item has no L or D, so its masks may be
// anything; they are 0.
struct SymbolPut {
    std::uint32_t code;
    std::uint16_t lengthMask;
    std::uint16_t distanceMask;
    std::uint8_t codeLength;
    std::uint8_t distanceShift;
    std::uint8_t width;
};

}  // namespace

CodecResult BlockEncoder::LzxEmit() {
    HufTable& MainTable = area.MainTable;
    // The counts are read before FresToLen sorts them away: with the code
    // lengths they give the width of the whole block, so the writer's reach
    // is checked once here and not after every item.
    std::uint32_t counts[LzSymbols];
    for (int s = 0; s < LzSymbols; ++s)
        counts[s] = MainTable.freq[s] >> FreqCountShift;
    CODEC_TRY(builder.FresToLen(&MainTable, area.Report()));
    CODEC_TRY(SendLens(&MainTable));
    CODEC_TRY(CodeBuilder::LenToVal(&MainTable, area.Report()));

    SymbolPut puts[LzSymbols];
    std::uint64_t total = static_cast<std::uint64_t>(area.BitPos);
    for (int s = 0; s < LzSymbols; ++s) {
        const int lc = s >= 256 ? (s & 255) >> 4 : 0;
        const int dc = s >= 256 ? s & 15 : 0;
        const int lengthExtra = lc >= 2 ? lc - 1 : 0;
        const int distanceExtra = dc >= 2 ? dc - 1 : 0;
        SymbolPut& put = puts[s];
        put.code = MainTable.code[s];
        put.codeLength = MainTable.length[s];
        put.lengthMask = static_cast<std::uint16_t>((1u << lengthExtra) - 1);
        put.distanceMask = static_cast<std::uint16_t>((1u << distanceExtra) - 1);
        put.distanceShift = static_cast<std::uint8_t>(put.codeLength + lengthExtra);
        put.width = static_cast<std::uint8_t>(put.distanceShift + distanceExtra);
        total += static_cast<std::uint64_t>(counts[s]) * put.width;
    }
    // A guard, not a limit that data can reach: the writer must never leave
    // BitBuf. The position only grows, so the end is the one to test.
    SAFETY_CHECK(total <= BitLimit, CodecResult::Bug, "LzxPack: buffer full");

    // Each item goes out in one put of up to 40 bits: a code of up to 24
    // and 7 + 9 extra bits. The writer keeps under 8 bits pending, stores 8
    // bytes after every item and moves on by the whole bytes written, so
    // there is no test per item. Every store lies below BitLimit / 8 + 8.
    std::uint8_t* at = area.BitBuf + (area.BitPos >> 3);
    int filled = area.BitPos & 7;
    std::uint64_t pending = *at & ((1u << filled) - 1);
    const std::uint32_t* const items = lzItems;
    const int count = lzItemCount;
    for (int i = 0; i < count; ++i) {
        const std::uint32_t item = items[i];
        const SymbolPut& put = puts[item & ItemSymbolMask];
        const std::uint64_t value =
            put.code | static_cast<std::uint64_t>((item >> ItemLengthShift) & put.lengthMask) << put.codeLength |
            static_cast<std::uint64_t>((item >> ItemDistanceShift) & put.distanceMask) << put.distanceShift;
        pending |= value << filled;
        filled += put.width;
        Store64(at, pending);
        at += filled >> 3;
        pending >>= filled & ~7;
        filled &= 7;
    }
    Store64(at, pending);
    area.BitPos = static_cast<int>(at - area.BitBuf) * 8 + filled;
    return CodecResult::Success;
}

CodecResult BlockEncoder::LzxPack(int m, int* nbits) {
    area.BitPos = 0;
    CODEC_TRY(LzxInit());  // makes the finder's area on the encoder's first LZ block
    lzPackArea->finder.Build(area.WorkBuf, m);  // reads at most 4 bytes past the stage data, inside WorkBuf

    // The items and their counts are kept in locals during the parse and
    // handed over once at its end: as members they went through memory
    // after every item, since the item stores may alias them. There is no
    // test of the list's room per item: every item covers at least one
    // byte, so the list never holds more than m items.
    std::uint32_t counts[LzSymbols] = {};
    std::uint32_t* const items = lzItems;
    const std::uint8_t* const work = area.WorkBuf;
    const std::int16_t* const chain = lzPackArea->finder.Chain();
    int count = 0;
    for (int i = 0; i < m;) {
        int distance = 0;
        const int length = MatchFinder::Longest(work, chain, i, m - i, &distance);
        if (length >= LzMinMatch) {
            const std::uint32_t item = ReferenceItem(length - 3, distance - 1);
            items[count++] = item;
            ++counts[item & ItemSymbolMask];
            i += length;
        } else {
            items[count++] = work[i];
            ++counts[work[i]];
            i += 1;
        }
    }
    lzItemCount = count;
    for (int s = 0; s < LzSymbols; ++s)
        area.MainTable.freq[s] += counts[s] << FreqCountShift;
    CODEC_TRY(LzxEmit());

    return BitFrame("LzxPack: buffer full", nbits);
}

namespace {

// Copies a reference of length bytes from distance bytes back, as a byte-by-
// byte copy in increasing order would, eight bytes at a time. Up to 15 bytes
// past the copy are written too: WorkBuf has room for them (decoding stops at
// 16384 bytes), and what follows overwrites them. A distance under 8 copies
// its first 8 bytes one by one; from there on the data repeats with a period
// that is a multiple of the distance and at least 8.
inline void CopyMatch(std::uint8_t* to, int distance, int length) {
    static constexpr int Period[8] = {0, 8, 8, 9, 8, 10, 12, 14};
    if (distance >= 8) {
        // Most references are short: two words without a loop test first.
        const std::uint8_t* from = to - distance;
        Store64(to, Load64(from));
        Store64(to + 8, Load64(from + 8));
        for (int i = 16; i < length; i += 8)
            Store64(to + i, Load64(from + i));
        return;
    }
    for (int i = 0; i < 8; ++i)
        to[i] = to[i - distance];
    const int period = Period[distance];
    for (int i = 8; i < length; i += 8)
        Store64(to + i, Load64(to + i - period));
}

// Per length or distance class: the value of the class with its extra bits
// zero, and the number of extra bits. Length classes run 1 to 8, distance
// classes 0 to 10; the fast table holds no symbol outside them.
constexpr int ClassBase[16] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512};
constexpr int ClassExtra[16] = {0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

}  // namespace

// ---- The item loop --------------------------------------------------------
//
// A step decodes one literal or reference (the forms: decoder.h).
//
//   FastForm     keeps only the one test that data alone decides, a
//                reference's reach before the block's start. The next
//                item's first-level entry is looked up before the refill,
//                from the bits still left (at least 16 after any item, and
//                FastBits are enough), so that the lookup waits only for
//                the item before it, not for the refill's load.
//   CarefulForm  refills before each item, which gives it all its bits: at
//                most 24 for the code and 7 + 9 for the extra fields.
//
// The bit position moves on by the whole item at once, so the next lookup
// need not wait for the fields.

namespace {

// The fast form's budgets: it runs while the bits of two items (two
// literals of up to 24 bits, or one item of up to 40) lie inside the block
// from the position on, and while the output has room for the longest
// reference.
constexpr int LzFastBits = 2 * MaxCodeLength;
constexpr int LzFastRoom = LzMaxMatch;

}  // namespace

// Receives the block's code and sets a lane at its first item.
CodecResult BlockDecoder::StartLzx(int nbits, LzLane* lane) {
    CODEC_TRY(StartBitLane(LzSymbols, nbits, LzFastBits, lane));
    lane->op = WorkBuf;
    lane->entry = tables.FastFirst(lane->in.Peek());
    return CodecResult::Success;
}

inline bool BlockDecoder::Fast(const LzLane& lane) const {
    return lane.op <= WorkBuf + BlockSize - LzFastRoom && lane.in.RefillFrom() <= lane.fastEnd;
}

// The entry of the symbol at the reader's position for the careful form
// when the fast table gives none: DecodeSymbol's symbol, with the tests of
// a symbol the fast table could never hold.
CodecResult BlockDecoder::SlowLzEntry(std::uint64_t bits, std::uint32_t* entry) {
    tables.NeedSlowTables(&MainTable);
    const int s = tables.DecodeSymbol(&MainTable, static_cast<std::uint32_t>(bits));
    SAFETY_CHECK(s >= 0, CodecResult::BadData, "DecodeLong: code not found");
    if (s >= 256) {
        const int lc = (s & 255) >> 4;
        const int dc = s & 15;
        SAFETY_CHECK(lc >= 1 && lc <= 8 && dc <= 10, CodecResult::BadData, "LzxUnpack: bad reference symbol %d", s);
    }
    *entry = FastEntry(s, MainTable.length[s], true);
    return CodecResult::Success;
}

// Always inlined: a lane kept in registers through the loop is the point,
// and a call would put it in memory.
template <class Form>
FORCE_INLINE CodecResult BlockDecoder::Step(LzLane& lane) {
    BitReader& in = lane.in;
    std::uint8_t*& op = lane.op;
    std::uint32_t entry;
    if constexpr (Form::careful) {
        in.Refill();
        entry = lane.table ? tables.FastLookup(in.Peek()) : 0;
        if (entry == 0) {
            // By value: a reader whose address was taken could not stay
            // in registers in the loops around.
            std::uint32_t slow = 0;
            CODEC_TRY(SlowLzEntry(in.Peek(), &slow));
            entry = slow;
        }
    } else {
        entry = lane.entry;
        if (entry & FastSub) [[unlikely]]
            entry = tables.FastLookup(in.Peek());
        if (entry == 0) [[unlikely]] {
            // Through a copy: the lane itself is never seen outside the
            // loop, so that its reader and output stay in registers.
            LzLane slow = lane;
            CODEC_TRY(CarefulStep(slow));
            lane = slow;
            in.Refill();
            lane.entry = tables.FastFirst(in.Peek());
            return CodecResult::Success;
        }
    }
    std::uint64_t bits = in.Peek();
    in.Skip(EntryBits(entry));
    const int s = EntrySymbol(entry);
    if (s < 256) {
        if constexpr (Form::careful) {
            SAFETY_CHECK(op < WorkBuf + BlockSize, CodecResult::BadData, "LzxUnpack: more than %d bytes decoded",
                         BlockSize);
            *op++ = static_cast<std::uint8_t>(s);
        } else {
            // Literals come in strings. After one (at most 24 bits) at
            // least 32 refilled bits are left, enough for a second literal
            // without a refill. Its first-level entry is taken without a
            // branch: its byte is stored either way (a byte past the output
            // is overwritten by what follows), and the output and the bit
            // position move on only when it is a literal of FastBits or
            // fewer.
            *op++ = static_cast<std::uint8_t>(s);
            const std::uint32_t next = tables.FastFirst(in.Peek());
            const bool literal = next != 0 && (next & (FastSub | EntryReference)) == 0;
            *op = static_cast<std::uint8_t>(next >> EntrySymbolShift);
            op += literal;
            in.Skip(literal ? EntryBits(next) : 0);
            lane.entry = tables.FastFirst(in.Peek());
            in.Refill();
        }
        return CodecResult::Success;
    }
    bits >>= entry >> EntryLengthShift;
    if constexpr (!Form::careful) {
        lane.entry = tables.FastFirst(in.Peek());
        in.Refill();
    }
    const int lc = (s >> 4) & 15;
    const int dc = s & 15;
    const int lengthExtra = ClassExtra[lc];
    const int length = ClassBase[lc] + static_cast<int>(bits & ((1u << lengthExtra) - 1)) + 3;
    bits >>= lengthExtra;
    const int distance = ClassBase[dc] + static_cast<int>(bits & ((1u << ClassExtra[dc]) - 1)) + 1;
    SAFETY_CHECK(distance <= op - WorkBuf, CodecResult::BadData, "LzxUnpack: reference before the start of the block");
    if constexpr (Form::careful)
        SAFETY_CHECK(op + length <= WorkBuf + BlockSize, CodecResult::BadData, "LzxUnpack: more than %d bytes decoded",
                     BlockSize);
    CopyMatch(op, distance, length);
    op += length;
    return CodecResult::Success;
}

// A lane's items from where it stands to the end of its block.
CodecResult BlockDecoder::FinishLzLane(LzLane& lane, int* decoded) {
    CODEC_TRY(RunLane(lane));
    BitPos = lane.in.Position();
    *decoded = static_cast<int>(lane.op - WorkBuf);
    SAFETY_CHECK(BitPos == lane.nbits, CodecResult::BadData, "LzxUnpack: too many bits read");
    return CodecResult::Success;
}

CodecResult BlockDecoder::LzxUnpack(int nbits, int* m) {
    *m = 0;
    LzLane lane;
    CODEC_TRY(StartLzx(nbits, &lane));
    return FinishLzLane(lane, m);
}

template void BlockDecoder::RunPair(BlockDecoder&, BlockDecoder&, LzLane&, LzLane&, CodecResult*, CodecResult*);
