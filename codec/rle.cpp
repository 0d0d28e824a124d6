// rle.cpp - the run-length stage.
//
// Runs of 3 to 16 equal bytes become a count byte (0x82..0x8F = run + 127)
// and the value. Bytes 0x80..0x8F standing alone are escaped with 0x80, so a
// byte b with (b AND 0xF0) = 0x80 always starts a counted unit. The packer
// never writes 0x81 (a run of 2); the unpacker accepts it. When the result is
// not shorter than the block, the block is stored unchanged: a stage data
// length of exactly 16384 is the stored form.
#include "decoder.h"
#include "encoder.h"

namespace {

constexpr std::uint8_t CountBase = 127;  // count byte = copies + 127

constexpr std::uint8_t CountNibble = 0x80;  // the high nibble of every count byte

bool IsCountByte(std::uint8_t b) {
    return (b & 0xF0) == CountNibble;
}

// Bit 7 of byte i is set for the first zero byte of the word, and possibly
// for later bytes as well; no bit is set below the first one.
inline std::uint64_t ZeroBytes(std::uint64_t x) {
    return (x - EveryByte) & ~x & HighBits;
}

// The same for the count bytes 0x80..0x8F.
inline std::uint64_t CountBytes(std::uint64_t word) {
    return ZeroBytes((word & (EveryByte * 0xF0)) ^ (EveryByte * CountNibble));
}

// 16 bytes copied at once; the unit loops store plain bytes this way and
// write again over what lies past them.
inline void Copy16(std::uint8_t* to, const std::uint8_t* from) {
    std::memcpy(to, from, 16);
}

// The run to take at p: the bytes equal to c from p on, at most 16 and
// within the block, when there are 3 or more; otherwise 1. Whole words are
// compared while the block has room for them: the first differing byte of
// the XOR with c in every byte ends the run.
inline int RunLength(const std::uint8_t* data, int p, std::uint8_t c) {
    int r;
    if (p + RleMaxRun <= BlockSize) {
        const std::uint64_t pattern = EveryByte * c;
        const std::uint64_t first = Load64(data + p) ^ pattern;
        if (first != 0) {
            r = LowestBit64(first) >> 3;
        } else {
            const std::uint64_t second = Load64(data + p + 8) ^ pattern;
            r = second != 0 ? 8 + (LowestBit64(second) >> 3) : RleMaxRun;
        }
    } else {
        r = 1;
        while (r < RleMaxRun && p + r < BlockSize && data[p + r] == c)
            ++r;
    }
    return r >= 3 ? r : 1;
}

}  // namespace

CodecResult BlockEncoder::RlePack(const std::uint8_t* data, int* m) {
    std::uint8_t* const WorkBuf = area.WorkBuf;
    int out = 0;
    int p = 0;
#if CPU_HAS_SSE2
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
        std::uint32_t units = TripleOrNibbleMask16(data + p, CountNibble);
        int at = 0;
        while (units != 0) {
            const int unit = LowestBit(units);
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
            const int plain = LowestBit64(special) >> 3;
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

// ---- The expansion ----------------------------------------------------------
//
// A step takes the units among the next bytes of stage data (the forms:
// decoder.h), each as the plain bytes before its count byte and its run:
//
//   FastForm     16 bytes at a time, far from both ends: one compare marks
//                every count byte among them, and the units are taken from
//                that mask one after another, the plain bytes stored 16 at
//                once and each run as 16 copies; the bytes stored past a
//                unit are stored again by what follows. A value byte that
//                looks like a count byte is cleared from the mask with the
//                unit. The step ends behind the last unit, or behind the 16
//                bytes if they end plain. So the units wait on one another
//                only through the mask, not through a load per unit.
//   CarefulForm  near the ends: one byte, or one counted unit, with every
//                test before the write. Units are read up to the m bytes of
//                stage data and no further: a damaged stage that wants more
//                never looks at stale bytes behind it.

namespace {

// The fast form's budgets: every unit a step takes (up to 17 bytes, a count
// byte at its end taking its value from the next) lies inside the stage
// data, and every store inside the output (at most 8 units of 16 copies and
// 16 bytes stored beyond), so no step can fail.
constexpr int RleFastBytes = 18;
constexpr int RleFastRoom = 8 * RleMaxRun + 32;

// Bit i set for each count byte among the 16 at p.
inline std::uint32_t CountMask(const std::uint8_t* p) {
    return HighNibbleMask16(p, CountNibble);
}

}  // namespace

inline bool BlockDecoder::Fast(const RleLane& lane) {
    return lane.in + RleFastBytes <= lane.end && lane.out + RleFastRoom <= lane.outEnd;
}

template <class Form>
FORCE_INLINE CodecResult BlockDecoder::Step(RleLane& lane) {
    const std::uint8_t* const in = lane.in;
    std::uint8_t* out = lane.out;
    constexpr int span = Form::careful ? 1 : 16;  // the bytes a step looks at
    if constexpr (Form::careful)
        SAFETY_CHECK(in < lane.end, CodecResult::BadData, "RleUnpack: too many bytes read");
    std::uint32_t counts = Form::careful ? IsCountByte(in[0]) : CountMask(in);
    int at = 0;
    while (counts != 0) {
        const int unit = LowestBit(counts);
        if constexpr (!Form::careful)
            Copy16(out, in + at);
        out += unit - at;
        const int copies = in[unit] - CountBase;
        if constexpr (Form::careful) {
            SAFETY_CHECK(out + copies <= lane.outEnd, CodecResult::BadData, "RleUnpack: too many bytes written");
            SAFETY_CHECK(in + unit + 1 < lane.end, CodecResult::BadData, "RleUnpack: too many bytes read");
            std::memset(out, in[unit + 1], static_cast<std::size_t>(copies));
        } else {
            const std::uint64_t run = EveryByte * in[unit + 1];
            Store64(out, run);
            Store64(out + 8, run);
        }
        out += copies;
        at = unit + 2;
        counts &= ~0u << at;  // at is at most 17
    }
    if (at < span) {
        if constexpr (Form::careful)
            *out = in[0];
        else
            Copy16(out, in + at);
        out += span - at;
        at = span;
    }
    lane.out = out;
    lane.in = in + at;
    return CodecResult::Success;
}

// m bytes of stage data in WorkBuf into destination; the stored form is
// copied at once.
CodecResult BlockDecoder::RleUnpack(int m, std::uint8_t* destination) {
    if (m >= BlockSize) {
        SAFETY_CHECK(m == BlockSize, CodecResult::BadData, "RleUnpack: input > output");
        std::memcpy(destination, WorkBuf, BlockSize);
        return CodecResult::Success;
    }
    RleLane lane{WorkBuf, WorkBuf + m, destination, destination + BlockSize};
    CODEC_TRY(RunLane(lane));
    SAFETY_CHECK(lane.in == lane.end, CodecResult::BadData, "RleUnpack: too many bytes read");
    return CodecResult::Success;
}
