// lengths.cpp - sending and receiving a block's code lengths, and decoding.
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
//
// Decoding: codes of up to 10 bits through one DecTab lookup on the next 10
// stream bits; an entry of 512 sends the search on to the longer codes.
#include <algorithm>

#include "lzx/codec.h"

namespace {

constexpr int RunShort = 25;  // 3..18 zeros
constexpr int RunLong = 26;   // 20..83 zeros
constexpr int RunShortMin = 3;
constexpr int RunShortMax = 18;
constexpr int RunLongMin = 20;
constexpr int RunLongMax = 83;

constexpr std::uint16_t NoQuick = 0xFFFF;

// The number of codes of each length 0 to 24.
void CountLengths(const HufTable& code, int* count) {
    std::fill_n(count, MaxCodeLength + 1, 0);
    for (int s = 0; s < code.symbolCount; ++s)
        ++count[code.length[s]];
}

// Whether codes of these lengths can all be told apart: the code space they
// take (in units of 2^-24) is at most the whole. Canonical codes of such
// lengths are prefix-free.
bool PrefixFree(const int* count) {
    std::uint64_t kraft = 0;
    for (int length = 1; length <= MaxCodeLength; ++length)
        kraft += static_cast<std::uint64_t>(count[length]) << (MaxCodeLength - length);
    return kraft <= (1u << MaxCodeLength);
}

// Fills quick with the symbol of every 8-bit prefix that a code of up to 8
// bits matches. Answers false, leaving the search to UnCode, when the code
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
            quick[i] = static_cast<std::uint16_t>(s);
    }
    return true;
}

}  // namespace

int Codec::LenRuns(const std::uint8_t* lengths, int n, LenItem* items) {
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
        LenTable.freq[item.symbol] += 65536;
        items[count++] = item;
        p += z;
    }
    return count;
}

CodecResult Codec::SendLenLens(const std::uint8_t* lengths, int count) {
    for (int s = 0; s < count; ++s)
        SAFETY_CHECK(lengths[s] <= 14, CodecResult::Bug, "SendLenLens: too big");
    BitWriter bits(BitBuf, BitPos);
    for (int s = 0; s < count; ++s) {
        const int length = lengths[s];
        if (length < 7) {
            bits.Put(3, static_cast<std::uint32_t>(length));
        } else {
            bits.Put(3, 7);
            bits.Put(3, static_cast<std::uint32_t>(length - 7));
        }
    }
    BitPos = bits.Done();
    return CodecResult::Success;
}

CodecResult Codec::SendLens(HufTable* table) {
    CODEC_TRY(FresInit(&LenTable, LenSymbols));
    const int items = LenRuns(table->length, table->symbolCount, LenItems);
    CODEC_TRY(FresToLen(&LenTable));
    CODEC_TRY(SendLenLens(LenTable.length, LenSymbols));
    CODEC_TRY(LenToVal(&LenTable));
    BitWriter bits(BitBuf, BitPos);
    for (int i = 0; i < items; ++i) {
        const LenItem& item = LenItems[i];
        bits.Put(LenTable.length[item.symbol], LenTable.code[item.symbol]);
        if (item.symbol == RunShort)
            bits.Put(4, item.run - RunShortMin);
        else if (item.symbol == RunLong)
            bits.Put(6, item.run - RunLongMin);
    }
    BitPos = bits.Done();
    return CodecResult::Success;
}

void Codec::RecvLenLens(std::uint8_t* lengths, int count) {
    BitReader in(BitBuf, BitPos);
    for (int s = 0; s < count; ++s) {
        std::uint32_t v = in.Get(3);
        if (v == 7)
            v = 7 + in.Get(3);
        lengths[s] = static_cast<std::uint8_t>(v);
    }
    BitPos = in.Position();
}

CodecResult Codec::RecvLens(HufTable* table, int n) {
    LenTable.symbolCount = LenSymbols;
    RecvLenLens(LenTable.length, LenSymbols);
    CODEC_TRY(LenToVal(&LenTable));

    // The length code's symbols of up to 8 bits come from one lookup when the
    // code is prefix-free; UnCode's search settles the rest.
    std::uint16_t quick[256];
    const bool usable = QuickLenTable(LenTable, quick);

    table->symbolCount = n;
    BitReader in(BitBuf, BitPos);
    for (int p = 0; p < n;) {
        in.Refill();
        const std::uint32_t bits = static_cast<std::uint32_t>(in.Peek()) & 0xFFFFFF;
        int s = usable ? quick[bits & 0xFF] : NoQuick;
        s = s != NoQuick ? s : UnCode(&LenTable, bits);
        SAFETY_CHECK(s >= 0, CodecResult::BadData, "UnCode: code not found");
        in.Skip(LenTable.length[s]);
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
            return Fail(CodecResult::BadData, "RecvLens: bad code %d", s);
        }
        // A final run may reach past n: its excess is dropped.
        for (; z > 0 && p < n; --z)
            table->length[p++] = 0;
    }
    BitPos = in.Position();
    return CodecResult::Success;
}

int Codec::UnCode(const HufTable* table, std::uint32_t bits) const {
    for (int s = 0; s < table->symbolCount; ++s) {
        const int length = table->length[s];
        if (length > 0 && ((bits ^ table->code[s]) & ((1u << length) - 1)) == 0)
            return s;
    }
    return -1;
}

void Codec::DecodeInit(const HufTable* table) {
    for (std::uint16_t& entry : DecTab)
        entry = DecTabLong;
    int longest = 0;
    for (int s = 0; s < table->symbolCount; ++s) {
        const int length = table->length[s];
        longest = length > longest ? length : longest;
        if (length < 1 || length > DecTabBits)
            continue;
        for (std::uint32_t i = table->code[s]; i < DecTabSize; i += 1u << length)
            DecTab[i] = static_cast<std::uint16_t>(s);
    }
    BuildLongTables(table, longest);
}

// The long codes of a block are its rarest symbols, but a linear search for
// each of them still costs hundreds of compares; one more table lookup costs
// one. A long code is reached only through a DecTab entry of 512, so only
// those prefixes get a table. Filling from the highest symbol down leaves
// the lowest-numbered match in each entry, as DecodeLong's search would find.
void Codec::BuildLongTables(const HufTable* table, int longest) {
    LongBits = 0;
    if (longest <= DecTabBits)
        return;
    const int bits = longest - DecTabBits;
    int prefixes = 0;
    for (const std::uint16_t entry : DecTab)
        prefixes += entry == DecTabLong;
    if (bits > 14 || (prefixes << bits) > LongPool)
        return;  // DecodeLong searches instead

    const int size = 1 << bits;
    int next = 0;
    for (int p = 0; p < DecTabSize; ++p) {
        if (DecTab[p] != DecTabLong)
            continue;
        LongIndex[p] = static_cast<std::uint16_t>(next);
        std::fill_n(LongTab + next, size, NoLongSymbol);
        next += size;
    }
    for (int s = table->symbolCount - 1; s >= 0; --s) {
        const int length = table->length[s];
        const std::uint32_t prefix = table->code[s] & (DecTabSize - 1);
        if (length <= DecTabBits || DecTab[prefix] != DecTabLong)
            continue;
        std::uint16_t* sub = LongTab + LongIndex[prefix];
        for (std::uint32_t i = table->code[s] >> DecTabBits; i < static_cast<std::uint32_t>(size);
             i += 1u << (length - DecTabBits))
            sub[i] = static_cast<std::uint16_t>(s);
    }
    LongBits = bits;
    LongMask = static_cast<std::uint32_t>(size - 1);
}

namespace {

// The fast-table entry of symbol s with a code of the given length; 0 for
// a symbol the method cannot use (a reference symbol without a class).
std::uint32_t FastEntry(int s, int length, bool references) {
    int item = length;
    if (references && s >= 256) {
        const int lc = (s & 255) >> 4;
        const int dc = s & 15;
        if (lc < 1 || lc > 8 || dc > 10)
            return 0;
        item = length + (lc - 1) + (dc >= 2 ? dc - 1 : 0);
    }
    return static_cast<std::uint32_t>(s) | static_cast<std::uint32_t>(item) << 16 |
           static_cast<std::uint32_t>(length) << 24;
}

}  // namespace

bool Codec::BuildFastTable(const HufTable* table, bool references) {
    SlowReady = false;
    int count[MaxCodeLength + 1];
    CountLengths(*table, count);
    if (!PrefixFree(count))
        return false;

    // The table grows by doubling: at length L it has 2^L entries, the
    // upper half a copy of the lower one, so that every shorter code already
    // fills all the entries its bits match; then each code of length L
    // takes the one entry of its own L bits. Entries no code reaches stay 0.
    std::uint16_t byLength[MaxSymbols];  // symbols in order of length, then symbol
    int place[MaxCodeLength + 2] = {};
    for (int length = 1; length <= MaxCodeLength; ++length)
        place[length + 1] = place[length] + count[length];
    for (int s = 0; s < table->symbolCount; ++s) {
        if (table->length[s] > 0)
            byLength[place[table->length[s]]++] = static_cast<std::uint16_t>(s);
    }
    FastTab[0] = 0;
    int k = 0;
    for (int length = 1; length <= FastBits; ++length) {
        const std::size_t half = std::size_t{1} << (length - 1);
        std::memcpy(FastTab + half, FastTab, half * sizeof FastTab[0]);
        for (; k < place[length]; ++k)
            FastTab[table->code[byLength[k]]] = FastEntry(byLength[k], length, references);
    }

    // The codes longer than FastBits, in order of length: behind each of
    // their prefixes a second table for the prefix's remaining bits, as many
    // as the longest code behind it needs. The prefix's entry, 0 until now,
    // first notes that length. What does not fit in the pool stays 0 and
    // goes the slow way.
    const int firstLong = k;
    for (; k < place[MaxCodeLength]; ++k)
        FastTab[table->code[byLength[k]] & (FastSize - 1)] = table->length[byLength[k]];
    int used = 0;
    for (k = firstLong; k < place[MaxCodeLength]; ++k) {
        const int s = byLength[k];
        const int length = table->length[s];
        std::uint32_t& head = FastTab[table->code[s] & (FastSize - 1)];
        if (head == 0)
            continue;
        if (!(head & FastSub)) {
            const int bits = static_cast<int>(head) - FastBits;
            if (used + (1 << bits) > FastPool) {
                head = 0;
                continue;
            }
            head = FastSub | static_cast<std::uint32_t>(bits) << 16 | static_cast<std::uint32_t>(used);
            std::fill_n(FastTab + FastSize + used, 1 << bits, 0u);
            used += 1 << bits;
        }
        std::uint32_t* sub = FastTab + FastSize + (head & 0xFFFF);
        const std::uint32_t size = 1u << ((head >> 16) & 0xFF);
        const std::uint32_t entry = FastEntry(s, length, references);
        for (std::uint32_t i = table->code[s] >> FastBits; i < size; i += 1u << (length - FastBits))
            sub[i] = entry;
    }
    return true;
}

int Codec::DecodeLong(const HufTable* table, std::uint32_t bits) const {
    for (int s = 0; s < table->symbolCount; ++s) {
        const int length = table->length[s];
        if (length > DecTabBits && ((bits ^ table->code[s]) & ((1u << length) - 1)) == 0)
            return s;
    }
    return -1;
}
