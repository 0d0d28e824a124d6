// bitstream.cpp - framing of a packed block's bits.
#include "lzx/codec.h"

// The writer leaves zero bits behind the last one it wrote, so the padding
// to a byte boundary only moves the position.
int Codec::BitFrame(const char* full) {
    const int nbits = BitPos;
    BitPos = (BitPos + 7) & ~7;
    if (BitPos > BitLimit)
        FatalMessage("%s", full);
    return nbits;
}
