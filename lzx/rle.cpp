// rle.cpp - the run-length stage.
//
// Runs of 3 to 16 equal bytes become a count byte (0x82..0x8F = run + 127)
// and the value. Bytes 0x80..0x8F standing alone are escaped with 0x80, so a
// byte b with (b AND 0xF0) = 0x80 always starts a counted unit. The packer
// never writes 0x81 (a run of 2); the unpacker accepts it. When the result is
// not shorter than the block, the block is stored unchanged: a stage data
// length of exactly 16384 is the stored form.
#include "lzx/codec.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr std::uint8_t CountBase = 127;  // count byte = copies + 127

bool IsCountByte(std::uint8_t b) {
    return (b & 0xF0) == 0x80;
}

}  // namespace

namespace {

constexpr std::uint64_t Ones = 0x0101010101010101ull;
constexpr std::uint64_t Highs = 0x8080808080808080ull;

// Bit 7 of byte i is set for the first zero byte of the word, and possibly
// for later bytes as well; no bit is set below the first one.
inline std::uint64_t ZeroBytes(std::uint64_t x) {
    return (x - Ones) & ~x & Highs;
}

// The same for the count bytes 0x80..0x8F.
inline std::uint64_t CountBytes(std::uint64_t word) {
    return ZeroBytes((word & 0xF0F0F0F0F0F0F0F0ull) ^ Highs);
}

// 16 bytes copied at once; the unit loops store plain bytes this way and
// write again over what lies past them.
inline void Copy16(std::uint8_t* to, const std::uint8_t* from) {
    std::memcpy(to, from, 16);
}

#if defined(__SSE2__)
inline __m128i Load128(const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// 0xFF in the lanes of the count bytes 0x80..0x8F.
inline __m128i CountLanes(__m128i bytes) {
    return _mm_cmpeq_epi8(_mm_and_si128(bytes, _mm_set1_epi8(static_cast<char>(0xF0))),
                          _mm_set1_epi8(static_cast<char>(0x80)));
}
#endif

// The run to take at p: the bytes equal to c from p on, at most 16 and
// within the block, when there are 3 or more; otherwise 1. Whole words are
// compared while the block has room for them: the first differing byte of
// the XOR with c in every byte ends the run.
inline int RunLength(const std::uint8_t* data, int p, std::uint8_t c) {
    int r;
    if (p + RleMaxRun <= BlockSize) {
        const std::uint64_t pattern = Ones * c;
        const std::uint64_t first = Load64(data + p) ^ pattern;
        if (first != 0) {
            r = __builtin_ctzll(first) >> 3;
        } else {
            const std::uint64_t second = Load64(data + p + 8) ^ pattern;
            r = second != 0 ? 8 + (__builtin_ctzll(second) >> 3) : RleMaxRun;
        }
    } else {
        r = 1;
        while (r < RleMaxRun && p + r < BlockSize && data[p + r] == c)
            ++r;
    }
    return r >= 3 ? r : 1;
}

}  // namespace

CodecResult Codec::RlePack(const std::uint8_t* data, int* m) {
    int out = 0;
    int p = 0;
#if defined(__SSE2__)
    // Far from the block's end, 16 bytes at a time: two compares mark every
    // byte among them that starts a unit (a count byte, or the first of three
    // equal bytes), and the units are taken from that mask one after
    // another; the plain bytes before each go out as 16 bytes stored whole,
    // written again by what follows. A run may go on past the 16 bytes; the
    // next window starts behind it. Every unit starts where the byte rule
    // starts one, since the bytes between units are the plain ones. The
    // margin keeps every byte a window and its runs read inside the block,
    // and every store inside WorkBuf (the output is at most twice the input).
    while (p + 2 * RleMaxRun + 2 <= BlockSize) {
        const __m128i here = Load128(data + p);
        const __m128i runs = _mm_and_si128(_mm_cmpeq_epi8(here, Load128(data + p + 1)),
                                           _mm_cmpeq_epi8(here, Load128(data + p + 2)));
        const __m128i starts = _mm_or_si128(runs, CountLanes(here));
        auto units = static_cast<std::uint32_t>(_mm_movemask_epi8(starts));
        int at = 0;
        while (units != 0) {
            const int unit = __builtin_ctz(units);
            Copy16(WorkBuf + out, data + p + at);
            out += unit - at;
            const std::uint8_t c = data[p + unit];
            const int n = RunLength(data, p + unit, c);
            WorkBuf[out] = static_cast<std::uint8_t>(n + CountBase);
            WorkBuf[out + 1] = c;
            out += 2;
            at = unit + n;
            units &= ~0u << at;  // at is at most 15 + 16
        }
        if (at < 16) {
            Copy16(WorkBuf + out, data + p + at);
            out += 16 - at;
            at = 16;
        }
        p += at;
    }
#endif
    while (p < BlockSize) {
        // The bytes of the next word before the first one that starts a run
        // of three or needs an escape go out as they are, all at once: the
        // word is stored whole and the bytes past them are written again.
        // Byte i starts a run when it equals bytes i + 1 and i + 2, a zero
        // byte in both XORs. Only the lowest flag of ZeroBytes is sure, and
        // it is the only one looked at. Machine code has a count byte every
        // few bytes, so a word that is not plain throughout still gives most
        // of its bytes this way.
        if (p + 10 <= BlockSize) {
            const std::uint64_t word = Load64(data + p);
            const std::uint64_t runs = (word ^ Load64(data + p + 1)) | (word ^ Load64(data + p + 2));
            const std::uint64_t special = ZeroBytes(runs) | CountBytes(word);
            Store64(WorkBuf + out, word);
            if (special == 0) {
                out += 8;
                p += 8;
                continue;
            }
            const int plain = __builtin_ctzll(special) >> 3;
            out += plain;
            p += plain;
        }
        const std::uint8_t c = data[p];
        const int n = RunLength(data, p, c);
        if (n > 1 || IsCountByte(c))
            WorkBuf[out++] = static_cast<std::uint8_t>(n + CountBase);
        WorkBuf[out++] = c;
        p += n;
    }
    SAFETY_CHECK(p == BlockSize, CodecResult::Bug, "RlePack: BUG");
    *m = out;
    if (out >= BlockSize) {
        std::memcpy(WorkBuf, data, BlockSize);
        *m = BlockSize;
    }
    return CodecResult::Success;
}

CodecResult Codec::RleUnpack(int m, std::uint8_t* destination) {
    if (m >= BlockSize) {
        SAFETY_CHECK(m == BlockSize, CodecResult::BadData, "RleUnpack: input > output");
        std::memcpy(destination, WorkBuf, BlockSize);
        return CodecResult::Success;
    }
    // Units are read up to the m bytes of stage data and no further: a
    // damaged stage that wants more never looks at stale bytes behind it.
    int in = 0;
    int written = 0;
#if defined(__SSE2__)
    // Far from both ends, 16 bytes at a time: one compare marks every count
    // byte among them, and the units are taken from that mask one after
    // another, each as the plain bytes before its count byte (16 stored
    // whole) and its run (16 copies stored whole); the bytes stored past a
    // unit are stored again by what follows. A value byte that looks like a
    // count byte is cleared from the mask with the unit. The next window
    // starts behind the last unit, or behind the 16 bytes if they end
    // plain. So the steps wait on one another only through the mask, not
    // through a load per unit. The margins keep every unit a window takes
    // (up to 17 bytes, a count byte at its end taking its value from the
    // next) inside the m bytes and every store inside the block (at most 8
    // units of 16 copies and 16 bytes stored beyond), so no step can fail.
    while (in + 18 <= m && written + 8 * RleMaxRun + 32 <= BlockSize) {
        auto counts = static_cast<std::uint32_t>(_mm_movemask_epi8(CountLanes(Load128(WorkBuf + in))));
        int at = 0;
        while (counts != 0) {
            const int unit = __builtin_ctz(counts);
            Copy16(destination + written, WorkBuf + in + at);
            written += unit - at;
            const std::uint64_t run = Ones * WorkBuf[in + unit + 1];
            Store64(destination + written, run);
            Store64(destination + written + 8, run);
            written += WorkBuf[in + unit] - CountBase;
            at = unit + 2;
            counts &= ~0u << at;
        }
        if (at < 16) {
            Copy16(destination + written, WorkBuf + in + at);
            written += 16 - at;
            at = 16;
        }
        in += at;
    }
#endif
    // Far from both ends, one step per stretch of plain bytes (up to 16)
    // together with the counted unit that ends it, without a branch on
    // either: machine code is full of the bytes 0x80..0x8F, each escaped as
    // a unit of its own, and other data has long plain stretches, so a step
    // per unit or per word would take many more. The two words of plain
    // bytes are stored whole, then the unit's run (two words, up to 16
    // copies) over the bytes that belong to the unit and beyond; the bytes
    // written past the step's end are written again by the steps after it.
    // Two words without a count byte are a step of 16 plain bytes, and their
    // "run", read from the bytes after them, lands beyond the step as well.
    // The margins keep every unit a step takes inside the m bytes (at most
    // 15 plain bytes, the count byte and its value: 17 of the 18 bytes) and
    // every store inside the block (at most 15 + 16 bytes from written), so
    // no step can fail.
    while (in + 18 <= m && written + 32 <= BlockSize) {
        const std::uint64_t low = Load64(WorkBuf + in);
        const std::uint64_t high = Load64(WorkBuf + in + 8);
        const std::uint64_t lowCounts = CountBytes(low);
        const std::uint64_t highCounts = CountBytes(high);
        const int plain = lowCounts != 0    ? __builtin_ctzll(lowCounts) >> 3
                          : highCounts != 0 ? 8 + (__builtin_ctzll(highCounts) >> 3)
                                            : 16;
        const std::uint8_t* const unit = WorkBuf + in + plain;
        const std::uint64_t run = Ones * unit[1];
        Store64(destination + written, low);
        Store64(destination + written + 8, high);
        Store64(destination + written + plain, run);
        Store64(destination + written + plain + 8, run);
        const bool counted = plain < 16;
        written += plain + (counted ? unit[0] - CountBase : 0);
        in += plain + (counted ? 2 : 0);
    }
    while (written < BlockSize) {
        SAFETY_CHECK(in < m, CodecResult::BadData, "RleUnpack: too many bytes read");
        const std::uint8_t b = WorkBuf[in++];
        if (!IsCountByte(b)) {
            destination[written++] = b;
            continue;
        }
        const int copies = b - CountBase;
        SAFETY_CHECK(written + copies <= BlockSize, CodecResult::BadData, "RleUnpack: too many bytes written");
        SAFETY_CHECK(in < m, CodecResult::BadData, "RleUnpack: too many bytes read");
        std::memset(destination + written, WorkBuf[in++], static_cast<std::size_t>(copies));
        written += copies;
    }
    SAFETY_CHECK(in == m, CodecResult::BadData, "RleUnpack: too many bytes read");
    return CodecResult::Success;
}
