// match_finder.h - the LZ stage's match finder: hash chains over one block.
//
// Every position of the stage data is entered into a chain of the positions
// whose next four bytes hash alike, nearest first. The hash (ChainHash) is
// wider than the 10 bits the format describes and has fewer collisions,
// so a walk meets fewer candidates that fail. Equal
// four-byte strings still share a bucket, and a bucket's chain still runs
// from the nearest position to the farthest, so every candidate that can
// win is visited in the same order and the match found is the format's.
// The finder is packing's alone (64 KiB): a codec that only decodes goes
// without it.
#pragma once

#include <cstdint>

#include "cpu.h"
#include "format.h"

class MatchFinder {
public:
    static constexpr int HashBits = 14;
    static constexpr std::int16_t NoPosition = -1;

    // Enters positions 0 .. m - 1 of work into the chains. Reads up to 4
    // bytes past work + m, which must be readable.
    void Build(const std::uint8_t* work, int m);

    // The chain links: the position before pos in its bucket, NoPosition
    // for none. The parse walks them through Longest below.
    const std::int16_t* Chain() const { return chain; }

    // The longest match of 4 bytes or more at pos (0: none) among the
    // chain's positions within the window, at most left bytes long, the
    // nearest among equally long ones; *distance receives its distance.
    static int Longest(const std::uint8_t* work, const std::int16_t* chain, int pos, int left, int* distance);

private:
    static std::uint32_t ChainHash(std::uint32_t word) { return (word * 0x9E3779B1u) >> (32 - HashBits); }

    std::int16_t head[1 << HashBits];
    std::int16_t chain[BlockSize];
};

namespace match_finder_detail {

// The number of equal leading bytes of a and b, at most limit. Four bytes at a
// time while four remain; the first differing byte of a word is found from
// its lowest differing bit (the words are little-endian).
inline int MatchLength(const std::uint8_t* a, const std::uint8_t* b, int limit) {
    int n = 0;
    while (n + 4 <= limit) {
        const std::uint32_t diff = Load32(a + n) ^ Load32(b + n);
        if (diff != 0)
            return n + (LowestBit(diff) >> 3);
        n += 4;
    }
    while (n < limit && a[n] == b[n])
        ++n;
    return n;
}

}  // namespace match_finder_detail

// The chain is walked from the nearest candidate to the farthest, and a
// candidate is kept only when it is strictly longer, so among equal lengths
// the nearest wins. A candidate longer than best equals the data here in
// bytes 0 to best, so the word that ends at byte best is compared first:
// most candidates fail there. Matches under 4 bytes, which the packer never
// uses, are not looked for. Inline and over plain pointers, so that the
// parse, which calls it at every literal, keeps it in registers: the call's
// own cost was a fifth of the search's.
inline int MatchFinder::Longest(const std::uint8_t* work, const std::int16_t* chain, int pos, int left,
                                int* distance) {
    if (left < LzMinMatch)
        return 0;
    const int limit = left < LzMaxMatch ? left : LzMaxMatch;
    const int lowest = pos > LzWindow ? pos - LzWindow : 0;
    const std::uint8_t* here = work + pos;
    int best = LzMinMatch - 1;
    std::uint32_t tail = Load32(here + best - 3);
    for (int c = chain[pos]; c >= lowest; c = chain[c]) {
        if (Load32(work + c + best - 3) != tail)
            continue;
        const int n = match_finder_detail::MatchLength(work + c, here, limit);
        if (n > best) {
            best = n;
            *distance = pos - c;
            if (n >= limit)
                break;
            tail = Load32(here + best - 3);
        }
    }
    return best >= LzMinMatch ? best : 0;
}
