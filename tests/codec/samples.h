// samples.h - reproducible sample blocks for the codec tests and benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace samples {

using Bytes = std::vector<std::uint8_t>;

// xorshift32: the same bytes on every run and every host.
class Random {
public:
    explicit Random(std::uint32_t seed) : state_(seed ? seed : 1) {}
    std::uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint32_t>(n)); }

private:
    std::uint32_t state_;
};

inline Bytes RandomBytes(std::size_t size, std::uint32_t seed) {
    Random random(seed);
    Bytes bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random.Next() >> 24);
    return bytes;
}

// English-like text: words of a small vocabulary, spaces, line breaks.
inline Bytes Text(std::size_t size, std::uint32_t seed) {
    static const char* words[] = {"the",  "bid",    "book",   "version", "update", "of",    "and", "Zelk",
                                  "file", "player", "contract", "north", "south",  "east",  "west", "trump",
                                  "a",    "to",     "is",     "in",      "hearts", "spades", "no",  "pass"};
    Random random(seed);
    Bytes bytes;
    while (bytes.size() < size) {
        const std::string word = words[random.Below(sizeof words / sizeof *words)];
        bytes.insert(bytes.end(), word.begin(), word.end());
        bytes.push_back(random.Below(12) == 0 ? '\n' : ' ');
    }
    bytes.resize(size);
    return bytes;
}

// Something like machine code: a few recurring instruction patterns with
// varying operands, and zero padding between "functions".
inline Bytes Code(std::size_t size, std::uint32_t seed) {
    static const Bytes patterns[] = {
        {0x55, 0x89, 0xE5}, {0x8B, 0x45}, {0x89, 0x45}, {0xE8}, {0x83, 0xEC}, {0xC9, 0xC3}, {0x8D, 0x4C, 0x24},
        {0xFF, 0x15},       {0x6A},       {0x85, 0xC0, 0x74}};
    Random random(seed);
    Bytes bytes;
    while (bytes.size() < size) {
        const Bytes& p = patterns[random.Below(10)];
        bytes.insert(bytes.end(), p.begin(), p.end());
        const int operands = random.Below(5);
        for (int i = 0; i < operands; ++i)
            bytes.push_back(static_cast<std::uint8_t>(random.Below(4) == 0 ? random.Next() : random.Below(16)));
        if (random.Below(40) == 0)
            bytes.insert(bytes.end(), static_cast<std::size_t>(random.Below(48)), 0);
    }
    bytes.resize(size);
    return bytes;
}

// Sort-friendly data: rows of 64 bytes that resemble each other, with
// 0xFF rows between them (a table of records, say).
inline Bytes Rows(std::size_t size, std::uint32_t seed) {
    Random random(seed);
    Bytes bytes(size, 0xFF);
    Bytes row(64);
    for (auto& b : row)
        b = static_cast<std::uint8_t>(random.Below(8));
    for (std::size_t at = 0; at + 64 <= size; at += 64) {
        if (random.Below(4) == 0 || at / 64 % 256 == 255)
            continue;  // an empty row; every block gets at least one
        for (int changes = random.Below(6); changes > 0; --changes)
            row[random.Below(64)] = static_cast<std::uint8_t>(random.Next());
        std::copy(row.begin(), row.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return bytes;
}

}  // namespace samples
