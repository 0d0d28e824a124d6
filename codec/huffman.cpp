// huffman.cpp - Huffman code construction with fixed tie-breaks.
//
// Counts become code lengths through a plain Huffman tree, and lengths
// become code values by the canonical rule (shorter codes first, equal
// lengths in symbol order), stored bit-reversed. Every choice is fixed, so
// two packers build the same code for the same counts:
//   - entries are count << FreqCountShift | symbol, sorted descending: larger count
//     first, and among equal counts the larger symbol first;
//   - the two lightest nodes are merged, and a new node is placed after every
//     node of equal or larger weight, so among equal weights the newest node
//     counts as the lightest and is merged first.
#include <algorithm>
#include <cstring>
#include <functional>

#include "huffman.h"

CodecResult CodeBuilder::FresInit(HufTable* table, int n, Reporter& report) {
    SAFETY_CHECK_TO(report, n <= MaxSymbols, CodecResult::Bug, "FresInit: too many symbols");
    table->symbolCount = n;
    for (int s = 0; s < n; ++s)
        table->freq[s] = static_cast<std::uint32_t>(s);
    return CodecResult::Success;
}

namespace {

// Entries in falling order by a stable counting sort on the count, one pass
// per byte of it, when the symbols arrive rising (as FresInit leaves them):
// taken from the last, equal counts keep the larger symbol first, which is
// the numeric order of the entries. An LZ block counts about 200 symbols;
// this takes two passes over them where a comparison sort took eight.
bool CountSortFalling(std::uint32_t* entries, int n) {
    std::uint32_t top = n > 0 ? entries[0] : 0;
    for (int i = 1; i < n; ++i) {
        if ((entries[i] & FreqSymbolMask) <= (entries[i - 1] & FreqSymbolMask))
            return false;
        top |= entries[i];
    }
    std::uint32_t spare[MaxSymbols];
    std::uint32_t* from = entries;
    std::uint32_t* to = spare;
    const int passes = (top >> 24) ? 2 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        const int shift = 16 + 8 * pass;
        int start[257] = {};
        for (int i = 0; i < n; ++i)
            ++start[256 - ((from[i] >> shift) & 0xFF)];
        for (int b = 1; b <= 256; ++b)
            start[b] += start[b - 1];
        // The first pass reads from the last entry, so that each bucket
        // starts with the largest symbol; later passes keep that order.
        if (pass == 0) {
            for (int i = n - 1; i >= 0; --i)
                to[start[255 - ((from[i] >> shift) & 0xFF)]++] = from[i];
        } else {
            for (int i = 0; i < n; ++i)
                to[start[255 - ((from[i] >> shift) & 0xFF)]++] = from[i];
        }
        std::swap(from, to);
    }
    if (from != entries)
        std::memcpy(entries, from, static_cast<std::size_t>(n) * sizeof entries[0]);
    return true;
}

}  // namespace

void CodeBuilder::FresSort(HufTable* table) {
    // Entries are unique, so any sort gives the same order. The entries
    // below FreqUnit (symbols never counted: an LZ block uses about half of its
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
        if (entry >= FreqUnit) {
            freq[counted++] = entry;
        } else {
            rising = rising && (rest == 0 || uncounted[rest - 1] < entry);
            uncounted[rest++] = entry;
        }
    }
    if (!CountSortFalling(freq, counted))
        std::sort(freq, freq + counted, std::greater<std::uint32_t>());
    if (!rising)
        std::sort(uncounted, uncounted + rest);
    for (int i = 0; i < rest; ++i)
        freq[counted + i] = uncounted[rest - 1 - i];
}

CodecResult CodeBuilder::FresToLen(HufTable* table, Reporter& report) {
    std::memset(table->length, 0, sizeof table->length);
    FresSort(table);

    int leaves = 0;
    while (leaves < table->symbolCount && table->freq[leaves] >= FreqUnit) {
        Nodes[leaves] = {static_cast<std::uint16_t>(table->freq[leaves] >> FreqCountShift), NoChild, NoChild};
        ++leaves;
    }
    table->leafCount = leaves;

    if (leaves == 0) {
        table->length[0] = 1;  // a code needs one symbol, even one that never occurs
        return CodecResult::Success;
    }
    if (leaves == 1) {
        table->length[table->freq[0] & FreqSymbolMask] = 1;
        return CodecResult::Success;
    }
    int nodes;
    TreeBuild(table, &nodes);
    return TreeToLen(table, nodes - 1, report);
}

// The tree is the one that merging the two lightest nodes of a list ordered
// by falling weight gives, where each new node goes after every node of
// equal or larger weight. Read from its light end, that list is: by rising
// weight, and among equal weights the nodes made by merging before the
// leaves, the newest of them first, and the leaves by rising symbol. The
// leaves are sorted already (Nodes[0..leaves) fall). The made nodes come
// with rising weights, since each is the sum of the two lightest, so they
// wait in a queue of their own (Active, lightest first), and a new one
// goes at its end, before the nodes of its own weight there. The two
// queues give each step's two lightest without moving the list.
void CodeBuilder::TreeBuild(HufTable* table, int* nodes) {
    const int leaves = table->leafCount;
    int leaf = leaves - 1;  // the lightest leaf not yet merged
    int head = 0;           // the queue's lightest node
    int tail = 0;           // one past its heaviest
    int next = leaves;      // where the next node is made
    const auto take = [&]() {
        if (head < tail && (leaf < 0 || Nodes[Active[head]].weight <= Nodes[leaf].weight))
            return static_cast<int>(Active[head++]);
        return leaf--;
    };
    while (next < 2 * leaves - 1) {
        const int b = take();
        const int a = take();
        const std::uint16_t weight = static_cast<std::uint16_t>(Nodes[a].weight + Nodes[b].weight);
        Nodes[next] = {weight, static_cast<std::uint16_t>(a), static_cast<std::uint16_t>(b)};
        int at = tail++;
        for (; at > head && Nodes[Active[at - 1]].weight == weight; --at)
            Active[at] = Active[at - 1];
        Active[at] = static_cast<std::uint16_t>(next);
        ++next;
    }
    *nodes = next;
}

// The depths from the root down: every node is made after its children, so
// going down from the root by index reaches each node after its parent.
CodecResult CodeBuilder::TreeToLen(HufTable* table, int root, Reporter& report) {
    std::uint8_t depths[2 * MaxSymbols - 1];
    depths[root] = 0;
    for (int node = root; node >= 0; --node) {
        const TreeNode& n = Nodes[node];
        const int d = depths[node];
        SAFETY_CHECK_TO(report, d <= MaxCodeLength, CodecResult::Bug, "TreeToLen: too deep");
        if (node < table->leafCount) {
            SAFETY_CHECK_TO(report, d != 0, CodecResult::Bug, "TreeToLen: root is used");
            table->length[table->freq[node] & FreqSymbolMask] = static_cast<std::uint8_t>(d);
        } else {
            depths[n.left] = depths[n.right] = static_cast<std::uint8_t>(d + 1);
        }
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
CodecResult CodeBuilder::LenToVal(HufTable* table, Reporter& report) {
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
        SAFETY_CHECK_TO(report, (value >> length) == 0, CodecResult::BadData, "LenToVal: overcounted");
        table->code[s] = Reverse24(value, length);
    }
    return CodecResult::Success;
}
