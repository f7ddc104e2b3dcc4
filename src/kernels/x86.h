// Inside the decoder: what the x86 kernels share. Every vector loop decodes
// blocks by one rule that needs no state but two carried bits: each byte
// gives 0, 1 or 2 output bytes, decided by the byte and its neighbours
//   - a '%' followed by two hex digits gives the decoded byte, and those two
//     digits give nothing (they are never special, so escapes cannot chain);
//   - an LF right after a CR gives nothing;
//   - '&', CR and any other LF give CR LF ("\r" in the first output slot and
//     "\n" in a second one);
//   - '+' and TAB give a space; every other byte gives itself.
#pragma once

#if defined(__x86_64__)

#include <immintrin.h>

#include <array>
#include <cstdint>

#define QUENLO_TARGET_SSSE3 __attribute__((target("ssse3")))

namespace quenlo::detail::x86 {

// For each 8-bit keep mask, the byte indices that gather the kept bytes of
// eight to the front, as pshufb wants them.
inline constexpr std::array<std::uint64_t, 256> compact_table = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned m = 0; m < 256; ++m) {
        unsigned k = 0;
        for (unsigned b = 0; b < 8; ++b)
            if ((m >> b) & 1u) t[m] |= std::uint64_t{b} << (8 * k++);
    }
    return t;
}();

// Kept bytes per 8-bit keep mask (SSSE3 machines may lack popcnt).
inline constexpr std::array<std::uint8_t, 256> count_table = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned m = 0; m < 256; ++m)
        for (unsigned b = 0; b < 8; ++b) t[m] = static_cast<std::uint8_t>(t[m] + ((m >> b) & 1u));
    return t;
}();

// Each of 8 bytes gives 0, 1 or 2 output bytes; the 3^8 patterns are numbered
// in base 3 (byte b's count times 3^b). base3[m] numbers the pattern of the
// bits of m, so keep and twice masks (twice within keep) add up to a number.
inline constexpr std::array<std::uint16_t, 256> base3 = [] {
    std::array<std::uint16_t, 256> t{};
    for (unsigned m = 0; m < 256; ++m)
        for (unsigned b = 0, power = 1; b < 8; ++b, power *= 3)
            if ((m >> b) & 1u) t[m] = static_cast<std::uint16_t>(t[m] + power);
    return t;
}();

constexpr unsigned patterns = 6561;  // 3^8

// For each pattern, the pshufb indices that spread 8 bytes (source bytes 0-7)
// and "\n" (source byte 8) into the output, and the output's length.
struct expand_entry {
    std::array<std::uint8_t, 16> index;
    std::uint8_t length;
};
inline constexpr std::array<expand_entry, patterns> expand_table = [] {
    std::array<expand_entry, patterns> t{};
    for (unsigned p = 0; p < patterns; ++p) {
        unsigned k = 0;
        for (unsigned b = 0, rest = p; b < 8; ++b, rest /= 3) {
            if (rest % 3 >= 1) t[p].index[k++] = static_cast<std::uint8_t>(b);
            if (rest % 3 == 2) t[p].index[k++] = 8;
        }
        t[p].length = static_cast<std::uint8_t>(k);
    }
    return t;
}();

// Writes the bytes of `slots` whose bit is set in `mask` (16 bits) to `out`,
// in order. Stores 16 bytes whatever the count.
QUENLO_TARGET_SSSE3 inline unsigned char* emit16(__m128i slots, unsigned mask, unsigned char* out) {
    const unsigned lo = mask & 0xFFu;
    const unsigned hi = (mask >> 8) & 0xFFu;
    const __m128i index =
        _mm_set_epi64x(static_cast<long long>(compact_table[hi] + 0x0808080808080808u),
                       static_cast<long long>(compact_table[lo]));
    const __m128i packed = _mm_shuffle_epi8(slots, index);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
    out += count_table[lo];
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_unpackhi_epi64(packed, packed));
    return out + count_table[hi];
}

// Writes the output of the 8 bytes in the low half of `source`, whose high
// half holds "\n": `keep` says which bytes give output, `twice` which of
// them also give a "\n". Stores 16 bytes whatever the count.
QUENLO_TARGET_SSSE3 inline unsigned char* emit8_expanding(__m128i source, unsigned keep,
                                                          unsigned twice, unsigned char* out) {
    const expand_entry& e = expand_table[base3[keep] + base3[twice]];
    const __m128i index = _mm_loadu_si128(reinterpret_cast<const __m128i*>(e.index.data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(source, index));
    return out + e.length;
}

// Writes the output of 16 input bytes: `first` holds each byte's first output
// byte, `keep` says which bytes give output and `twice` which of them also
// give a "\n". Stores up to 32 bytes.
QUENLO_TARGET_SSSE3 inline unsigned char* emit_block16(__m128i first, unsigned keep, unsigned twice,
                                                       unsigned char* out) {
    if (twice == 0) return emit16(first, keep, out);
    const __m128i lf = _mm_set1_epi8('\n');
    out = emit8_expanding(_mm_unpacklo_epi64(first, lf), keep & 0xFFu, twice & 0xFFu, out);
    return emit8_expanding(_mm_unpackhi_epi64(first, lf), (keep >> 8) & 0xFFu,
                           (twice >> 8) & 0xFFu, out);
}

}  // namespace quenlo::detail::x86

#endif
