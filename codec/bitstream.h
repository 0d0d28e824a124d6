// bitstream.h - the bit stream of a block: one reader, one writer.
//
// A block's coded data is one run of bits, least significant bit first:
// stream bit b is bit (b mod 8) of byte (b div 8). A value of n bits goes
// with its least significant bit first; Huffman codes are stored bit-reversed
// so that a code's first bit enters the stream first.
//
// Both sides move whole words through a 64-bit buffer, never a bit at a
// time, and both may touch bytes beyond the last bit they were asked for.
// How far is stated below and checked against the buffer's slack where the
// block codec defines it.
#pragma once

#include <cstdint>
#include <cstring>

#include "cpu.h"

// ---- Reading ---------------------------------------------------------------

// After Refill at least this many bits are valid: enough for one LZ item
// (a code of up to 24 bits and 7 + 9 extra bits) or four codes of the fast
// table's width, without a second refill.
inline constexpr int RefillBits = 56;
// A refill loads the 8 bytes at the first byte not yet wholly in the buffer:
// it reads at most this many bytes past the byte that holds the position.
inline constexpr int RefillReach = 15;

// Reads bits through a 64-bit buffer refilled without a branch. The bits
// above the valid ones are 0 or the stream's own next bits, so refilling
// over them changes nothing. Peek answers the next bits (at least 56 after
// a refill); the caller masks what it needs.
class BitReader {
public:
    BitReader() = default;
    BitReader(const std::uint8_t* buffer, int position) : start(buffer), next(buffer + (position >> 3)) {
        Refill();
        Skip(position & 7);
    }
    void Refill() {
        bits |= Load64(next) << valid;
        next += (63 - valid) >> 3;
        valid |= RefillBits;
    }
    std::uint64_t Peek() const { return bits; }
    void Skip(int n) {
        bits >>= n;
        valid -= n;
    }
    // The next n bits (0 to 24), with a refill of their own: for the places
    // outside the hot loops that take a field at a time.
    std::uint32_t Get(int n) {
        Refill();
        const auto value = static_cast<std::uint32_t>(bits & ((std::uint64_t{1} << n) - 1));
        Skip(n);
        return value;
    }
    int Position() const { return static_cast<int>(next - start) * 8 - valid; }
    // The first byte the next refill loads. Right after a refill, with at
    // least RefillBits valid, the position is at most (RefillFrom() -
    // buffer) * 8 - RefillBits: a hot loop bounds it with one compare of
    // this address instead of working out Position() per item.
    const std::uint8_t* RefillFrom() const { return next; }

private:
    const std::uint8_t* start = nullptr;
    const std::uint8_t* next = nullptr;
    std::uint64_t bits = 0;
    int valid = 0;
};

// ---- Writing ---------------------------------------------------------------

// Writes bits from a position on through a 64-bit accumulator, one 32-bit
// store every 32 bits. The bits below the start position are kept, the bits
// of a value above n are dropped, and Done stores the last word: the bits
// after the last one written are 0 up to 8 bytes on. Nothing before needs
// clearing, which is why a block's buffer never is.
class BitWriter {
public:
    BitWriter(std::uint8_t* buffer, int position)
        : start(buffer), at(buffer + (position >> 3)), accumulator(*at & ((1u << (position & 7)) - 1)),
          filled(position & 7) {}
    void Put(int n, std::uint32_t v) {
        accumulator |= static_cast<std::uint64_t>(v & ((1u << n) - 1)) << filled;
        filled += n;
        if (filled >= 32) {
            Store32(at, static_cast<std::uint32_t>(accumulator));
            at += 4;
            accumulator >>= 32;
            filled -= 32;
        }
    }
    int Position() const { return static_cast<int>(at - start) * 8 + filled; }
    // Stores what is left (8 bytes at the byte of the position) and answers
    // the position.
    int Done() {
        Store64(at, accumulator);
        return Position();
    }

private:
    std::uint8_t* start;
    std::uint8_t* at;
    std::uint64_t accumulator;
    int filled;
};

// After Done the writer has stored up to this many bytes from the byte that
// holds its position.
inline constexpr int WriterReach = 8;

// The number of significant bits of a byte value: 0 for 0, 1 for 1, 2 for
// 2-3, ... 8 for 128-255. The LZ stage classifies its references with it.
struct BitWidthTable {
    std::uint8_t width[256];
    constexpr BitWidthTable() : width() {
        for (int v = 1; v < 256; ++v)
            width[v] = static_cast<std::uint8_t>(width[v >> 1] + 1);
    }
    constexpr int operator[](int v) const { return width[v]; }
};
inline constexpr BitWidthTable BitWidth;
