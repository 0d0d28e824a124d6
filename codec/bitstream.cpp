// bitstream.cpp - framing of a packed block's bits.
#include "codec.h"

// The writer leaves zero bits behind the last one it wrote, so the padding
// to a byte boundary only moves the position.
CodecResult Codec::BitFrame(const char* full, int* nbits) {
    *nbits = BitPos;
    BitPos = (BitPos + 7) & ~7;
    SAFETY_CHECK(BitPos <= BitLimit, CodecResult::Bug, "%s", full);
    return CodecResult::Success;
}
