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

namespace {

constexpr std::uint64_t Ones = 0x0101010101010101ull;
constexpr std::uint64_t Highs = 0x8080808080808080ull;

// Bit 7 of byte i is set for the first count byte of the word, and possibly
// for later bytes as well; no bit is set below the first one.
inline std::uint64_t CountBytes(std::uint64_t word) {
    const std::uint64_t x = (word & 0xF0F0F0F0F0F0F0F0ull) ^ Highs;  // zero where a count byte is
    return (x - Ones) & ~x & Highs;
}

}  // namespace

void Codec::RleUnpack(int m, std::uint8_t* destination) {
    if (m >= BlockSize) {
        if (m > BlockSize)
            FatalMessage("RleUnpack: input > output");
        std::memcpy(destination, WorkBuf, BlockSize);
        return;
    }
    // Units are read up to the m bytes of stage data and no further: a
    // damaged stage that wants more never looks at stale bytes behind it.
    // Plain bytes go eight at a time while eight are left on both sides;
    // counted units of up to 16 bytes as two word stores while the block
    // has room for them.
    int in = 0;
    int written = 0;
    while (written < BlockSize) {
        if (in + 8 <= m && written + 16 <= BlockSize) {
            const std::uint64_t word = Load64(WorkBuf + in);
            const std::uint64_t counts = CountBytes(word);
            if (counts == 0) {
                Store64(destination + written, word);
                in += 8;
                written += 8;
                continue;
            }
            const int plain = __builtin_ctzll(counts) >> 3;
            Store64(destination + written, word);  // the plain bytes before the count byte
            in += plain;
            written += plain;
            if (in + 2 <= m && written + 16 <= BlockSize) {
                const int copies = WorkBuf[in] - CountBase;
                const std::uint64_t run = Ones * WorkBuf[in + 1];
                Store64(destination + written, run);
                Store64(destination + written + 8, run);
                in += 2;
                written += copies;
                continue;
            }
            // Near an end: the unit goes the careful way below.
        }
        if (in >= m)
            FatalMessage("RleUnpack: too many bytes read");
        const std::uint8_t b = WorkBuf[in++];
        if (!IsCountByte(b)) {
            destination[written++] = b;
            continue;
        }
        const int copies = b - CountBase;
        if (written + copies > BlockSize)
            FatalMessage("RleUnpack: too many bytes written");
        if (in >= m)
            FatalMessage("RleUnpack: too many bytes read");
        std::memset(destination + written, WorkBuf[in++], static_cast<std::size_t>(copies));
        written += copies;
    }
    if (in != m)
        FatalMessage("RleUnpack: too many bytes read");
}
