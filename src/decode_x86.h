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

// Bit b moved to bit 2b: a byte's keep bit lands on its first output slot.
inline constexpr std::array<std::uint16_t, 256> spread_table = [] {
    std::array<std::uint16_t, 256> t{};
    for (unsigned m = 0; m < 256; ++m)
        for (unsigned b = 0; b < 8; ++b)
            if ((m >> b) & 1u) t[m] = static_cast<std::uint16_t>(t[m] | (1u << (2 * b)));
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

// Writes the output of 16 input bytes: `first` holds each byte's first output
// slot, `keep` says which first slots are written and `twice` which bytes
// also give a "\n". Stores up to 32 bytes.
QUENLO_TARGET_SSSE3 inline unsigned char* emit_block16(__m128i first, unsigned keep, unsigned twice,
                                                       unsigned char* out) {
    if (twice == 0) return emit16(first, keep, out);
    const __m128i lf = _mm_set1_epi8('\n');
    out = emit16(_mm_unpacklo_epi8(first, lf),
                 spread_table[keep & 0xFFu] | (unsigned{spread_table[twice & 0xFFu]} << 1), out);
    return emit16(_mm_unpackhi_epi8(first, lf),
                  spread_table[(keep >> 8) & 0xFFu] |
                      (unsigned{spread_table[(twice >> 8) & 0xFFu]} << 1),
                  out);
}

}  // namespace quenlo::detail::x86

#endif
