// huffman.h - prefix codes as the codec builds, sends and decodes them.
#pragma once

#include <cstdint>

#include "format.h"
#include "result.h"

// One prefix code. A frequency entry is count << FreqCountShift | symbol, so
// that one unsigned comparison orders by count and breaks ties by symbol. Codes are
// canonical and stored bit-reversed: BitWriter::Put(length, code) sends the
// first bit of the code first.
inline constexpr int FreqCountShift = 16;
inline constexpr std::uint32_t FreqUnit = 1u << FreqCountShift;  // a count of one
inline constexpr std::uint32_t FreqSymbolMask = FreqUnit - 1;

struct HufTable {
    std::int32_t symbolCount;
    std::uint32_t freq[MaxSymbols];
    std::int32_t leafCount;
    std::uint8_t length[MaxSymbols];
    std::uint32_t code[MaxSymbols];
};

struct TreeNode {
    std::uint16_t weight;
    std::uint16_t left;   // NoChild in both children: a leaf
    std::uint16_t right;
};

inline constexpr std::uint16_t NoChild = 0xFFFF;

// Huffman code construction (huffman.cpp): counts become lengths through a
// tree, lengths become values by the canonical rule. The tree's nodes are
// the builder's own; only a packer needs them.
class CodeBuilder {
public:
    // table holds symbols 0 .. n - 1, none counted yet: a count is added
    // as freq[s] += FreqUnit.
    static CodecResult FresInit(HufTable* table, int n, Reporter& report);
    // The code lengths for the table's counts (sorting its entries).
    CodecResult FresToLen(HufTable* table, Reporter& report);
    // The code values for the table's lengths; lengths that no prefix code
    // can have (overcounted) are damaged data.
    static CodecResult LenToVal(HufTable* table, Reporter& report);

private:
    static void FresSort(HufTable* table);
    void TreeBuild(HufTable* table, int* nodes);
    CodecResult TreeToLen(HufTable* table, int root, Reporter& report);

    TreeNode Nodes[2 * MaxSymbols - 1] = {};
    std::uint16_t Active[MaxSymbols] = {};
};

// One item of a table section: a length-code symbol, and for 25 and 26 the
// number of zero lengths it stands for.
struct LenItem {
    std::uint8_t symbol;
    std::uint8_t run;
};

// The number of codes of each length 0 to 24.
inline void CountLengths(const HufTable& code, int* count) {
    // Four tallies side by side: runs of one length (the zeros of unused
    // symbols, most of all) would otherwise make every increment wait for
    // the one before it.
    int tally[4][MaxCodeLength + 1] = {};
    int s = 0;
    for (; s + 4 <= code.symbolCount; s += 4) {
        ++tally[0][code.length[s]];
        ++tally[1][code.length[s + 1]];
        ++tally[2][code.length[s + 2]];
        ++tally[3][code.length[s + 3]];
    }
    for (; s < code.symbolCount; ++s)
        ++tally[0][code.length[s]];
    for (int length = 0; length <= MaxCodeLength; ++length)
        count[length] = tally[0][length] + tally[1][length] + tally[2][length] + tally[3][length];
}

// Whether codes of these lengths can all be told apart: the code space they
// take (in units of 2^-24) is at most the whole. Canonical codes of such
// lengths are prefix-free.
inline bool PrefixFree(const int* count) {
    std::uint64_t kraft = 0;
    for (int length = 1; length <= MaxCodeLength; ++length)
        kraft += static_cast<std::uint64_t>(count[length]) << (MaxCodeLength - length);
    return kraft <= (1u << MaxCodeLength);
}
