// bitstream.cpp - framing of a packed block's bits, and the codec's record
// of a failure.
#include <cstdarg>

#include "lzx/codec.h"

// The writer leaves zero bits behind the last one it wrote, so the padding
// to a byte boundary only moves the position.
CodecResult Codec::BitFrame(const char* full, int* nbits) {
    *nbits = BitPos;
    BitPos = (BitPos + 7) & ~7;
    SAFETY_CHECK(BitPos <= BitLimit, CodecResult::Bug, "%s", full);
    return CodecResult::Success;
}

CodecResult Codec::Fail(CodecResult result, const char* format, ...) {
    va_list args;
    va_start(args, format);
    failure = FormatText(format, args);
    va_end(args);
    return result;
}

void Codec::Report(CodecResult result) const {
    if (result != CodecResult::Success)
        FatalMessage("%s", failure.c_str());
}
