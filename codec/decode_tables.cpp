// decode_tables.cpp - the tables that decode a block's code.
//
// Codes of up to 10 bits go through one DecTab lookup on the next 10 stream
// bits; an entry of 512 sends the search on to the longer codes, through
// second-level tables or, where those cannot be built, DecodeLong's linear
// search. The decoders' hot loops use the fast table instead, which also
// holds each reference's extra bits; every symbol it cannot give goes the
// DecTab way. Both give the lowest-numbered matching code, so a code that is
// not prefix-free decodes the same either way.
#include <algorithm>
#include <cstring>

#include "decode_tables.h"

void DecodeTables::DecodeInit(const HufTable* table) {
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
void DecodeTables::BuildLongTables(const HufTable* table, int longest) {
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

bool DecodeTables::BuildFastTable(const HufTable* table, bool references) {
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
            head = FastSub | static_cast<std::uint32_t>(bits) << SubBitsShift | static_cast<std::uint32_t>(used);
            std::fill_n(FastTab + FastSize + used, 1 << bits, 0u);
            used += 1 << bits;
        }
        std::uint32_t* sub = FastTab + FastSize + (head & SubOffsetMask);
        const std::uint32_t size = 1u << ((head >> SubBitsShift) & SubBitsMask);
        const std::uint32_t entry = FastEntry(s, length, references);
        for (std::uint32_t i = table->code[s] >> FastBits; i < size; i += 1u << (length - FastBits))
            sub[i] = entry;
    }
    if (!references)
        PairFastTable(table, byLength, place);
    return true;
}

// The pairs go code by code: a first code of length L1 and a second of
// length L2, with L1 + L2 <= FastBits, share the entries whose low L1 + L2
// bits are the two codes one after the other. Each such entry is written
// once, so the work grows with the entries that pair, not with the table.
// byLength lists the symbols by code length, those of length L ending at
// end[L].
void DecodeTables::PairFastTable(const HufTable* table, const std::uint16_t* byLength, const int* end) {
    for (int first = 1; first < FastBits; ++first) {
        for (int j = end[first - 1]; j < end[first]; ++j) {
            const int a = byLength[j];
            for (int second = 1; first + second <= FastBits; ++second) {
                const std::uint32_t step = 1u << (first + second);
                const std::uint32_t pair = FastPair | static_cast<std::uint32_t>(first + second) |
                                           static_cast<std::uint32_t>(a) << EntrySymbolShift |
                                           static_cast<std::uint32_t>(first) << EntryLengthShift;
                for (int k = end[second - 1]; k < end[second]; ++k) {
                    const int b = byLength[k];
                    const std::uint32_t entry = pair | static_cast<std::uint32_t>(b) << PairSecondShift;
                    for (std::uint32_t i = table->code[a] | table->code[b] << first; i < FastSize; i += step)
                        FastTab[i] = entry;
                }
            }
        }
    }
}

int DecodeTables::DecodeLong(const HufTable* table, std::uint32_t bits) {
    for (int s = 0; s < table->symbolCount; ++s) {
        const int length = table->length[s];
        if (length > DecTabBits && ((bits ^ table->code[s]) & ((1u << length) - 1)) == 0)
            return s;
    }
    return -1;
}
