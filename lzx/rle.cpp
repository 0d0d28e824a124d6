// rle.cpp - the run-length stage.
//
// Runs of 3 to 16 equal bytes become a count byte (0x82..0x8F = run + 127)
// and the value. Bytes 0x80..0x8F standing alone are escaped with 0x80, so a
// byte b with (b AND 0xF0) = 0x80 always starts a counted unit. The packer
// never writes 0x81 (a run of 2); the unpacker accepts it. When the result is
// not shorter than the block, the block is stored unchanged: a stage data
// length of exactly 16384 is the stored form.
#include "lzx/codec.h"

namespace {

constexpr std::uint8_t CountBase = 127;  // count byte = copies + 127

bool IsCountByte(std::uint8_t b) {
    return (b & 0xF0) == 0x80;
}

}  // namespace

int Codec::RlePack(const std::uint8_t* data) {
    int out = 0;
    int p = 0;
    while (p < BlockSize) {
        const std::uint8_t c = data[p];
        int r = 1;
        while (r < RleMaxRun && p + r < BlockSize && data[p + r] == c)
            ++r;
        const int n = r >= 3 ? r : 1;
        if (n > 1 || IsCountByte(c))
            WorkBuf[out++] = static_cast<std::uint8_t>(n + CountBase);
        WorkBuf[out++] = c;
        p += n;
    }
    if (p != BlockSize)
        FatalMessage("RlePack: BUG");
    if (out < BlockSize)
        return out;
    std::memcpy(WorkBuf, data, BlockSize);
    return BlockSize;
}

void Codec::RleUnpack(int m, std::uint8_t* destination) {
    if (m >= BlockSize) {
        if (m > BlockSize)
            FatalMessage("RleUnpack: input > output");
        std::memcpy(destination, WorkBuf, BlockSize);
        return;
    }
    // Each unit writes at least one byte and reads at most two, so even a
    // damaged stage never reads past 2 * 16384 bytes: inside WorkBuf. The
    // count of bytes read is checked once the block is full.
    int in = 0;
    int written = 0;
    while (written < BlockSize) {
        const std::uint8_t b = WorkBuf[in++];
        if (!IsCountByte(b)) {
            destination[written++] = b;
            continue;
        }
        const int copies = b - CountBase;
        if (written + copies > BlockSize)
            FatalMessage("RleUnpack: too many bytes written");
        std::memset(destination + written, WorkBuf[in++], static_cast<std::size_t>(copies));
        written += copies;
    }
    if (in != m)
        FatalMessage("RleUnpack: too many bytes read");
}
