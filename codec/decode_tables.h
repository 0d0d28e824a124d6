// decode_tables.h - the tables that decode a block's code (decode_tables.cpp).
//
// The decoders' hot loops look up the fast table: one entry per code of up
// to FastBits bits, with each reference's extra bits counted in, and second
// tables behind the prefixes of longer codes. What it cannot give goes
// through DecodeSymbol's tables (DecTab, then the long tables, then the
// linear search of DecodeLong), built only when first needed.
#pragma once

#include <cstdint>

#include "format.h"
#include "huffman.h"

// A fast-table entry: the bits of the whole item (the code and, for a
// reference, its extra bits) in the low byte, where a shift can take them
// without a mask (EntryBitsMask); the symbol at EntrySymbolShift; the
// code's length at EntryLengthShift. An entry of 0 (a longer code, bits
// that match no code, a symbol the method cannot use) sends the decoder to
// DecodeSymbol.
inline constexpr std::uint32_t EntryBitsMask = 0x3F;
inline constexpr int EntrySymbolShift = 8;
inline constexpr std::uint32_t EntrySymbolMask = 0xFFFF;
inline constexpr int EntryLengthShift = 24;
inline constexpr std::uint32_t EntryLengthMask = 0x1F;
// Set in the entry of every symbol from 256 on: a reference.
inline constexpr std::uint32_t EntryReference = 256u << EntrySymbolShift;
// Codes longer than FastBits: their prefix's entry is FastSub | table bits
// << SubBitsShift | offset, and the second table, indexed by the next bits,
// lies at the offset behind the first.
inline constexpr std::uint32_t FastSub = 0x80000000u;
inline constexpr int SubBitsShift = 16;
inline constexpr std::uint32_t SubBitsMask = 0xFF;
inline constexpr std::uint32_t SubOffsetMask = 0xFFFF;
// In the byte method's table: an entry of two bytes, whose two codes
// together take no more than FastBits bits: both codes' bits | first byte
// << EntrySymbolShift | second byte << PairSecondShift | the first code's
// length << EntryLengthShift.
inline constexpr std::uint32_t FastPair = 0x40000000u;
inline constexpr int PairSecondShift = 16;

// The bits an entry takes (at most 40). The mask is the one a 64-bit shift
// applies to its count anyway, so the shift needs no other.
inline int EntryBits(std::uint32_t entry) {
    return static_cast<int>(entry & EntryBitsMask);
}
inline int EntrySymbol(std::uint32_t entry) {
    return static_cast<int>((entry >> EntrySymbolShift) & EntrySymbolMask);
}
// A pair's entry as the entry of its first byte alone, for the loop that
// takes one code at a time near a block's end.
inline std::uint32_t FirstOfPair(std::uint32_t entry) {
    constexpr std::uint32_t keep = EntryLengthMask << EntryLengthShift | 0xFFu << EntrySymbolShift;
    return (entry & FastPair) ? (entry & keep) | ((entry >> EntryLengthShift) & EntryLengthMask) : entry;
}
// The entry of symbol s with a code of the given length; 0 for a symbol the
// method cannot use (a reference symbol without a class).
inline std::uint32_t FastEntry(int s, int length, bool references) {
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

class DecodeTables {
public:
    // Builds the fast table for a code: with references (the LZ method) a
    // reference's entry counts its extra bits; without (the byte method) an
    // entry gives two bytes where their codes fit in FastBits together
    // (FastPair). Answers false for a code that is not prefix-free: its
    // decoding goes through DecodeSymbol all the way, which settles every
    // ambiguity.
    bool BuildFastTable(const HufTable* table, bool references);
    // The first-level entry for the next stream bits.
    std::uint32_t FastFirst(std::uint64_t bits) const { return FastTab[bits & (FastSize - 1)]; }
    // The entry for the next stream bits (at least 24 valid); 0: slow path.
    std::uint32_t FastLookup(std::uint64_t bits) const {
        std::uint32_t entry = FastFirst(bits);
        if (entry & FastSub)
            entry = FastTab[FastSize + (entry & SubOffsetMask) +
                            ((bits >> FastBits) & ((1u << ((entry >> SubBitsShift) & SubBitsMask)) - 1))];
        return entry;
    }

    // DecodeSymbol's tables for the code, built once per code, when first
    // needed.
    void NeedSlowTables(const HufTable* table) {
        if (!SlowReady) {
            DecodeInit(table);
            SlowReady = true;
        }
    }
    void DecodeInit(const HufTable* table);
    // One symbol from the next stream bits (at least 24 valid): DecTab for
    // codes of up to 10 bits, then the second-level tables, and the linear
    // search of DecodeLong only where DecodeInit could not build them.
    // -1: no code matches.
    int DecodeSymbol(const HufTable* table, std::uint32_t bits) const {
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
    // The lowest-numbered code longer than 10 bits that the bits match; -1
    // for none.
    static int DecodeLong(const HufTable* table, std::uint32_t bits);
    // DecTab's entry for the next 10 bits: a symbol, or DecTabLong.
    int DecTabEntry(std::uint32_t bits) const { return DecTab[bits & (DecTabSize - 1)]; }
    // The bits the second-level tables take (0: not built).
    int LongTableBits() const { return LongBits; }

private:
    void BuildLongTables(const HufTable* table, int longest);
    void PairFastTable(const HufTable* table, const std::uint16_t* byLength, const int* end);

    static constexpr int FastPool = 4096;
    std::uint32_t FastTab[FastSize + FastPool] = {};
    bool SlowReady = false;

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
};
