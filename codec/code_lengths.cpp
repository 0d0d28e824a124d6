// code_lengths.cpp - the table section: sending and receiving a block's
// code lengths.
//
// Only the lengths of a code travel; the canonical rule rebuilds its values.
// The lengths are themselves coded with a 27-symbol length code:
//   0..24  one length of that value
//   25     3..18 zero lengths, 4 extra bits (z - 3)
//   26     20..83 zero lengths, 6 extra bits (z - 20)
// A run of exactly 19 zeros has no symbol: it goes as a single 0 and a run
// of 18. The length code's own 27 lengths go first, 3 bits each (7 means 3
// more bits follow: 7 + w). Nothing marks the end of the section: the reader
// knows how many lengths to expect.
#include <algorithm>

#include "decoder.h"
#include "encoder.h"

namespace {

constexpr int RunShort = 25;  // 3..18 zeros
constexpr int RunLong = 26;   // 20..83 zeros
constexpr int RunShortMin = 3;
constexpr int RunShortMax = 18;
constexpr int RunLongMin = 20;
constexpr int RunLongMax = 83;

constexpr std::uint16_t NoQuick = 0xFFFF;

// Fills quick with the symbol of every 8-bit prefix that a code of up to 8
// bits matches, and its length << 8 (one load gives both). Answers false, leaving the search to UnCode, when the code
// is not prefix-free: then more than one code may match, and UnCode's order
// decides.
bool QuickLenTable(const HufTable& code, std::uint16_t* quick) {
    int count[MaxCodeLength + 1];
    CountLengths(code, count);
    if (!PrefixFree(count))
        return false;
    std::fill_n(quick, 256, NoQuick);
    for (int s = 0; s < code.symbolCount; ++s) {
        const int length = code.length[s];
        if (length < 1 || length > 8)
            continue;
        for (std::uint32_t i = code.code[s]; i < 256; i += 1u << length)
            quick[i] = static_cast<std::uint16_t>(s | length << 8);
    }
    return true;
}

// The first of the code's symbols whose code the bits begin with; -1 for
// none.
int UnCode(const HufTable* table, std::uint32_t bits) {
    for (int s = 0; s < table->symbolCount; ++s) {
        const int length = table->length[s];
        if (length > 0 && ((bits ^ table->code[s]) & ((1u << length) - 1)) == 0)
            return s;
    }
    return -1;
}

}  // namespace

int BlockEncoder::LenRuns(const std::uint8_t* lengths, int n, LenItem* items) {
    int count = 0;
    for (int p = 0; p < n;) {
        const int v = lengths[p];
        int z = 1;
        if (v == 0) {
            z = 0;
            while (p + z < n && z < RunLongMax && lengths[p + z] == 0)
                ++z;
            if (z < RunShortMin || z == RunShortMax + 1)
                z = 1;
        }
        LenItem item{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(z)};
        if (z > 1)
            item.symbol = z <= RunShortMax ? RunShort : RunLong;
        area.LenTable.freq[item.symbol] += FreqUnit;
        items[count++] = item;
        p += z;
    }
    return count;
}

CodecResult BlockEncoder::SendLenLens(const std::uint8_t* lengths, int count) {
    for (int s = 0; s < count; ++s)
        SAFETY_CHECK(lengths[s] <= 14, CodecResult::Bug, "SendLenLens: too big");
    BitWriter bits(area.BitBuf, area.BitPos);
    for (int s = 0; s < count; ++s) {
        const int length = lengths[s];
        if (length < 7) {
            bits.Put(3, static_cast<std::uint32_t>(length));
        } else {
            bits.Put(3, 7);
            bits.Put(3, static_cast<std::uint32_t>(length - 7));
        }
    }
    area.BitPos = bits.Done();
    return CodecResult::Success;
}

CodecResult BlockEncoder::SendLens(HufTable* table) {
    HufTable& LenTable = area.LenTable;
    CODEC_TRY(CodeBuilder::FresInit(&LenTable, LenSymbols, area.Report()));
    const int items = LenRuns(table->length, table->symbolCount, LenItems);
    CODEC_TRY(builder.FresToLen(&LenTable, area.Report()));
    CODEC_TRY(SendLenLens(LenTable.length, LenSymbols));
    CODEC_TRY(CodeBuilder::LenToVal(&LenTable, area.Report()));
    BitWriter bits(area.BitBuf, area.BitPos);
    for (int i = 0; i < items; ++i) {
        const LenItem& item = LenItems[i];
        bits.Put(LenTable.length[item.symbol], LenTable.code[item.symbol]);
        if (item.symbol == RunShort)
            bits.Put(4, item.run - RunShortMin);
        else if (item.symbol == RunLong)
            bits.Put(6, item.run - RunLongMin);
    }
    area.BitPos = bits.Done();
    return CodecResult::Success;
}

void BlockDecoder::RecvLenLens(std::uint8_t* lengths, int count) {
    BitReader in(BitBuf, BitPos);
    for (int s = 0; s < count; ++s) {
        std::uint32_t v = in.Get(3);
        if (v == 7)
            v = 7 + in.Get(3);
        lengths[s] = static_cast<std::uint8_t>(v);
    }
    BitPos = in.Position();
}

CodecResult BlockDecoder::RecvLens(HufTable* table, int n) {
    LenTable.symbolCount = LenSymbols;
    RecvLenLens(LenTable.length, LenSymbols);
    CODEC_TRY(CodeBuilder::LenToVal(&LenTable, Report()));

    // The length code's symbols of up to 8 bits come from one lookup when the
    // code is prefix-free; UnCode's search settles the rest.
    std::uint16_t quick[256];
    const bool usable = QuickLenTable(LenTable, quick);

    table->symbolCount = n;
    BitReader in(BitBuf, BitPos);
    for (int p = 0; p < n;) {
        in.Refill();
        const std::uint32_t bits = static_cast<std::uint32_t>(in.Peek()) & 0xFFFFFF;
        int entry = usable ? quick[bits & 0xFF] : NoQuick;
        if (entry == NoQuick) {
            const int s = UnCode(&LenTable, bits);
            SAFETY_CHECK(s >= 0, CodecResult::BadData, "UnCode: code not found");
            entry = s | LenTable.length[s] << 8;
        }
        const int s = entry & 0xFF;
        in.Skip(entry >> 8);
        if (s <= MaxCodeLength) {
            table->length[p++] = static_cast<std::uint8_t>(s);
            continue;
        }
        int z;
        if (s == RunShort) {
            z = static_cast<int>(in.Peek() & 0xF) + RunShortMin;
            in.Skip(4);
        } else if (s == RunLong) {
            z = static_cast<int>(in.Peek() & 0x3F) + RunLongMin;
            in.Skip(6);
        } else {
            return Report().Fail(CodecResult::BadData, "RecvLens: bad code %d", s);
        }
        // A final run may reach past n: its excess is dropped.
        z = std::min(z, n - p);
        std::memset(table->length + p, 0, static_cast<std::size_t>(z));
        p += z;
    }
    BitPos = in.Position();
    return CodecResult::Success;
}

CodecResult BlockDecoder::RecvMainTable(int symbols, bool* fast) {
    BitPos = 0;
    CODEC_TRY(RecvLens(&MainTable, symbols));
    CODEC_TRY(CodeBuilder::LenToVal(&MainTable, Report()));
    *fast = tables.BuildFastTable(&MainTable, symbols == LzSymbols);
    if (!*fast)
        tables.NeedSlowTables(&MainTable);
    return CodecResult::Success;
}

CodecResult BlockDecoder::StartBitLane(int symbols, int nbits, int budget, BitLane* lane) {
    CODEC_TRY(RecvMainTable(symbols, &lane->table));
    lane->in = BitReader(BitBuf, BitPos);
    lane->nbits = nbits;
    // Every path through a fast form ends in a refill, so the test of the
    // position is one compare of RefillFrom() with the byte that bounds it;
    // without a fast table, a bound that no position is under.
    lane->fastEnd = lane->table ? BitBuf + std::max(0, (nbits - budget + RefillBits) / 8) : BitBuf;
    lane->in.Refill();
    return CodecResult::Success;
}
