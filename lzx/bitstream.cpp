// bitstream.cpp - the bit stream of a block.
//
// A block's coded data is one run of bits in BitBuf, least significant bit
// first: stream bit b is bit (b mod 8) of byte (b div 8). Every access moves
// the whole little-endian word that begins at the byte of the bit position,
// so one call carries up to 25 bits; the system never asks for more than 24.
//
// A write keeps the bits already written below the position and replaces
// everything above it in the 4-byte window. That is why BitBuf is never
// cleared between blocks, why a value's bits above n do no harm (the next
// write overwrites them), and why the bits after a block's last bit are 0.
#include "lzx/codec.h"

std::uint32_t Codec::BitGet(int n) {
    const std::uint32_t word = Load32(BitBuf + (BitPos >> 3)) >> (BitPos & 7);
    BitPos += n;
    return word & ((1u << n) - 1);
}

std::uint32_t Codec::BitPeek() const {
    return (Load32(BitBuf + (BitPos >> 3)) >> (BitPos & 7)) & 0xFFFFFF;
}

void Codec::BitWidthInit() {
    if (BitWidthReady)
        return;
    for (int v = 0; v < 256; ++v) {
        int width = 0;
        for (int rest = v; rest != 0; rest >>= 1)
            ++width;
        BitWidth[v] = static_cast<std::uint8_t>(width);
    }
    BitWidthReady = true;
}

int Codec::BitFrame(const char* full) {
    const int nbits = BitPos;
    while (BitPos & 7)
        BitPut(1, 0);
    if (BitPos > BitLimit)
        FatalMessage("%s", full);
    return nbits;
}
