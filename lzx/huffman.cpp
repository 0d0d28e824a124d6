// huffman.cpp - Huffman code construction with fixed tie-breaks.
//
// Counts become code lengths through a plain Huffman tree, and lengths
// become code values by the canonical rule (shorter codes first, equal
// lengths in symbol order), stored bit-reversed. Every choice is fixed, so
// two packers build the same code for the same counts:
//   - entries are count * 65536 + symbol, sorted descending: larger count
//     first, and among equal counts the larger symbol first;
//   - the two lightest nodes are merged, and a new node is placed after every
//     node of equal or larger weight, so among equal weights the newest node
//     counts as the lightest and is merged first.
#include <algorithm>
#include <functional>

#include "lzx/codec.h"

CodecResult Codec::FresInit(HufTable* table, int n) {
    SAFETY_CHECK(n <= MaxSymbols, CodecResult::Bug, "FresInit: too many symbols");
    table->symbolCount = n;
    for (int s = 0; s < n; ++s)
        table->freq[s] = static_cast<std::uint32_t>(s);
    return CodecResult::Success;
}

void Codec::FresSort(HufTable* table) {
    // Entries are unique, so any sort gives the same order. The entries
    // below 65536 (symbols never counted: an LZ block uses about half of its
    // 400) all go after the others, and as FresInit leaves them they are in
    // rising order already: they are set apart, and only the counted ones
    // are sorted.
    std::uint32_t* const freq = table->freq;
    std::uint32_t uncounted[MaxSymbols];
    int counted = 0;
    int rest = 0;
    bool rising = true;
    for (int i = 0; i < table->symbolCount; ++i) {
        const std::uint32_t entry = freq[i];
        if (entry >= 65536) {
            freq[counted++] = entry;
        } else {
            rising = rising && (rest == 0 || uncounted[rest - 1] < entry);
            uncounted[rest++] = entry;
        }
    }
    std::sort(freq, freq + counted, std::greater<std::uint32_t>());
    if (!rising)
        std::sort(uncounted, uncounted + rest);
    for (int i = 0; i < rest; ++i)
        freq[counted + i] = uncounted[rest - 1 - i];
}

CodecResult Codec::FresToLen(HufTable* table) {
    std::memset(table->length, 0, sizeof table->length);
    FresSort(table);

    int leaves = 0;
    while (leaves < table->symbolCount && table->freq[leaves] >= 65536) {
        Nodes[leaves] = {static_cast<std::uint16_t>(table->freq[leaves] >> 16), static_cast<std::uint16_t>(leaves),
                         NoChild, NoChild};
        Active[leaves] = static_cast<std::uint16_t>(leaves);
        ++leaves;
    }
    table->leafCount = leaves;

    if (leaves == 0) {
        table->length[0] = 1;  // a code needs one symbol, even one that never occurs
        return CodecResult::Success;
    }
    if (leaves == 1) {
        table->length[table->freq[0] & 0xFFFF] = 1;
        return CodecResult::Success;
    }
    int nodes;
    CODEC_TRY(TreeBuild(table, &nodes));
    return TreeToLen(table, nodes - 1, 0);
}

CodecResult Codec::TreeBuild(HufTable* table, int* nodes) {
    int k = table->leafCount;
    int next = table->leafCount;
    // Where the search for the new node's place starts: one past the node
    // made before it. The nodes after that one are lighter than it, and no
    // node made later is lighter, so they are lighter than the new one too;
    // only the nodes before need looking at, from the end. The place moves
    // on by at most one per node, so the steps back add up to at most the
    // number of nodes: the walk is linear, and its one hard-to-predict
    // branch is the walk's end.
    int from = k;
    while (k >= 2) {
        const TreeNode& a = Nodes[Active[k - 2]];
        const TreeNode& b = Nodes[Active[k - 1]];
        const std::uint16_t weight = static_cast<std::uint16_t>(a.weight + b.weight);
        Nodes[next] = {weight, static_cast<std::uint16_t>(next), a.index, b.index};
        // The list is ordered by falling weight, so the nodes lighter than
        // the new one form its tail; the tail moves up one place in one go.
        // The new node lands after every node of equal or larger weight, as
        // a step-by-step insertion from the end would put it.
        int low = std::min(from, k - 2);
        while (low > 0 && Nodes[Active[low - 1]].weight < weight)
            --low;
        from = low + 1;
        std::memmove(Active + low + 1, Active + low, static_cast<std::size_t>(k - 2 - low) * sizeof Active[0]);
        Active[low] = static_cast<std::uint16_t>(next);
        ++next;
        --k;
    }
    SAFETY_CHECK(next == 2 * table->leafCount - 1, CodecResult::Bug, "TreeBuild: BUG");
    *nodes = next;
    return CodecResult::Success;
}

CodecResult Codec::TreeToLen(HufTable* table, int node, int depth) {
    SAFETY_CHECK(depth <= MaxCodeLength, CodecResult::Bug, "TreeToLen: too deep");
    if (node < table->leafCount) {
        table->length[table->freq[node] & 0xFFFF] = static_cast<std::uint8_t>(depth);
        SAFETY_CHECK(depth != 0, CodecResult::Bug, "TreeToLen: root is used");
    }
    const TreeNode& n = Nodes[node];
    SAFETY_CHECK((n.left == NoChild) == (n.right == NoChild), CodecResult::Bug, "TreeToLen: child missing");
    if (n.left != NoChild) {
        CODEC_TRY(TreeToLen(table, n.left, depth + 1));
        CODEC_TRY(TreeToLen(table, n.right, depth + 1));
    }
    return CodecResult::Success;
}

namespace {

// The bits of each byte in reverse order.
struct ByteReversal {
    std::uint8_t table[256];
    constexpr ByteReversal() : table() {
        for (int v = 0; v < 256; ++v) {
            int reversed = 0;
            for (int i = 0; i < 8; ++i)
                reversed |= ((v >> i) & 1) << (7 - i);
            table[v] = static_cast<std::uint8_t>(reversed);
        }
    }
};

constexpr ByteReversal Reversed;

// The low n bits of v in reverse order, for n of 1 to 24: three table
// lookups.
inline std::uint32_t Reverse24(std::uint32_t v, int n) {
    const std::uint32_t all = static_cast<std::uint32_t>(Reversed.table[v & 0xFF]) << 16 |
                              static_cast<std::uint32_t>(Reversed.table[(v >> 8) & 0xFF]) << 8 |
                              Reversed.table[(v >> 16) & 0xFF];
    return all >> (24 - n);
}

}  // namespace

// Codes of one length count up from first[L] in plain form, and each is
// stored reversed. Only the low L bits of first[L] take part, so unsigned
// wrap-around in the doubling does no harm; a length whose count passes the
// all-ones code has no code left for the next symbol: overcounted.
CodecResult Codec::LenToVal(HufTable* table) {
    int count[MaxCodeLength + 1];
    CountLengths(*table, count);

    std::uint32_t first = 0;
    std::uint32_t next[MaxCodeLength + 1];
    for (int length = 1; length <= MaxCodeLength; ++length) {
        next[length] = first & ((1u << length) - 1);
        first = (first + static_cast<std::uint32_t>(count[length])) << 1;
    }

    for (int s = 0; s < table->symbolCount; ++s) {
        const int length = table->length[s];
        if (length == 0)
            continue;
        const std::uint32_t value = next[length]++;
        SAFETY_CHECK((value >> length) == 0, CodecResult::BadData, "LenToVal: overcounted");
        table->code[s] = Reverse24(value, length);
    }
    return CodecResult::Success;
}
