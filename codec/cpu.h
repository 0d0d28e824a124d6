// cpu.h - what the codec asks of the compiler and the processor, in one place.
//
// The rest of the codec is plain C++: it names what it needs here (byte
// order, bit scans, inlining, 16-byte compares) and never a builtin or an
// intrinsic itself. Every helper has a portable form, so the codec builds
// for any target; the SSE2 forms are what both shipped targets (i686 with
// SSE2, x86_64) compile. The wider scans that are chosen at run time live
// in x86/.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define CPU_HAS_SSE2 1
#else
#define CPU_HAS_SSE2 0
#endif
// The wider x86 instructions, for code compiled for them alone and chosen
// at run time (x86/).
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#define CPU_X86_WIDE 1
#else
#define CPU_X86_WIDE 0
#endif

// ---- The compiler ------------------------------------------------------------

// A hot loop's body that must be inlined into each of its forms, and a rare
// path that must stay out of the loop around it.
#define FORCE_INLINE [[gnu::always_inline]] inline
#define NEVER_INLINE [[gnu::noinline]]

// A function that formats like printf, checked by the compiler.
#if defined(__MINGW32__)
#define PRINTF_LIKE(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define PRINTF_LIKE(f, a)
#endif

// ---- Little-endian words at any address ----------------------------------------

inline constexpr bool BigEndianHost = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

inline std::uint32_t Load32(const std::uint8_t* at) {
    std::uint32_t word;
    std::memcpy(&word, at, 4);
    if constexpr (BigEndianHost)
        word = __builtin_bswap32(word);
    return word;
}

inline void Store32(std::uint8_t* at, std::uint32_t word) {
    if constexpr (BigEndianHost)
        word = __builtin_bswap32(word);
    std::memcpy(at, &word, 4);
}

inline std::uint64_t Load64(const std::uint8_t* at) {
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    if constexpr (BigEndianHost)
        word = __builtin_bswap64(word);
    return word;
}

inline void Store64(std::uint8_t* at, std::uint64_t word) {
    if constexpr (BigEndianHost)
        word = __builtin_bswap64(word);
    std::memcpy(at, &word, 8);
}

// ---- Bits --------------------------------------------------------------------

// The number of the lowest set bit; word must not be 0.
inline int LowestBit(std::uint32_t word) {
    return __builtin_ctz(word);
}
inline int LowestBit64(std::uint64_t word) {
    return __builtin_ctzll(word);
}

// The set bits of a word. Without a population-count instruction in the
// baseline of either target, the compiler's own form is a table or a call;
// this one is a few shifts and one multiply.
inline int CountBits64(std::uint64_t v) {
    v -= (v >> 1) & 0x5555555555555555ull;
    v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int>((v * 0x0101010101010101ull) >> 56);
}

// ---- Bytes 16 at a time -----------------------------------------------------------
//
// Each answers a 16-bit mask, bit i for byte i of the 16 at its address.

inline constexpr std::uint64_t EveryByte = 0x0101010101010101ull;  // times b: b in every byte
inline constexpr std::uint64_t HighBits = 0x8080808080808080ull;

#if CPU_HAS_SSE2
namespace cpu_sse2 {
inline __m128i Load(const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
// 0xFF in the lanes whose high nibble is that of high.
inline __m128i HighNibbleLanes(__m128i bytes, std::uint8_t high) {
    return _mm_cmpeq_epi8(_mm_and_si128(bytes, _mm_set1_epi8(static_cast<char>(0xF0))),
                          _mm_set1_epi8(static_cast<char>(high)));
}
inline std::uint32_t Mask(__m128i lanes) {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(lanes));
}
}  // namespace cpu_sse2
#endif

// The bytes whose high nibble is high's ((byte & 0xF0) == high).
inline std::uint32_t HighNibbleMask16(const std::uint8_t* p, std::uint8_t high) {
#if CPU_HAS_SSE2
    return cpu_sse2::Mask(cpu_sse2::HighNibbleLanes(cpu_sse2::Load(p), high));
#else
    // From two words: a match is a zero byte after the XOR (found exactly,
    // without the borrow of a subtraction), and the high bits are gathered
    // by a multiply.
    auto gather = [high](std::uint64_t word) {
        const std::uint64_t x = (word & 0xF0F0F0F0F0F0F0F0ull) ^ (EveryByte * high);
        const std::uint64_t zero = ~(((x & ~HighBits) + ~HighBits) | x) & HighBits;
        return static_cast<std::uint32_t>(((zero >> 7) * 0x0102040810204080ull) >> 56);
    };
    return gather(Load64(p)) | gather(Load64(p + 8)) << 8;
#endif
}

#if CPU_HAS_SSE2
// The bytes that start three equal bytes (p[i] == p[i + 1] == p[i + 2]),
// together with those whose high nibble is high's; reads 18 bytes.
inline std::uint32_t TripleOrNibbleMask16(const std::uint8_t* p, std::uint8_t high) {
    using namespace cpu_sse2;
    const __m128i here = Load(p);
    const __m128i runs = _mm_and_si128(_mm_cmpeq_epi8(here, Load(p + 1)), _mm_cmpeq_epi8(here, Load(p + 2)));
    return Mask(_mm_or_si128(runs, HighNibbleLanes(here, high)));
}
#endif

// The number of bytes in which two blocks of 64 bytes differ.
inline int Differences64(const std::uint8_t* a, const std::uint8_t* b) {
#if CPU_HAS_SSE2
    // Equal bytes compare to 0xFF; masked to 1 and summed over the four
    // quarters, every byte lane holds 0 to 4, and one sum of absolute
    // differences against zero adds up each half.
    using namespace cpu_sse2;
    const __m128i one = _mm_set1_epi8(1);
    __m128i equal = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 16)
        equal = _mm_add_epi8(equal, _mm_and_si128(_mm_cmpeq_epi8(Load(a + i), Load(b + i)), one));
    const __m128i sums = _mm_sad_epu8(equal, _mm_setzero_si128());
    return 64 - _mm_cvtsi128_si32(sums) - _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
#else
    // Eight bytes at once, every differing byte leaving a nonzero byte in
    // the XOR, folded into its lowest bit.
    std::uint64_t differing = 0;
    for (int i = 0; i < 64; i += 8) {
        std::uint64_t diff = Load64(a + i) ^ Load64(b + i);
        diff |= diff >> 4;
        diff |= diff >> 2;
        diff |= diff >> 1;
        differing |= (diff & EveryByte) << (i / 8);
    }
    return CountBits64(differing);
#endif
}
