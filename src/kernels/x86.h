// What the SSSE3 and AVX2 kernels share: writing a block's output with pshufb.
// The tables are in emit_tables.h, the rule they follow is in kernel.h.
#pragma once

#if defined(__x86_64__)

#include <immintrin.h>

#include "kernels/emit_tables.h"

#define QUENLO_TARGET_SSSE3 __attribute__((target("ssse3")))

namespace quenlo::detail::x86 {

// Low nibble to the one special byte with that low nibble (TAB LF CR % & +
// differ there); entries with no special byte hold a byte of another nibble.
alignas(16) inline constexpr unsigned char special_by_low_nibble[16] = {
    1, 0, 0, 0, 0, '%', '&', 0, 0, '\t', '\n', '+', 0, '\r', 0, 0};

// Low nibble to what the special byte with that low nibble is XORed with to
// give its first output byte: TAB and '+' give a space, LF and '&' a CR, CR
// and '%' stay as they are. One lookup then does what took a compare and a
// select for each of them.
alignas(16) inline constexpr unsigned char change_by_low_nibble[16] = {
    0, 0, 0, 0, 0, 0, '&' ^ '\r', 0, 0, '\t' ^ ' ', '\n' ^ '\r', '+' ^ ' ', 0, 0, 0, 0};

QUENLO_TARGET_SSSE3 inline __m128i load_table(const unsigned char (&table)[16]) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(table));
}

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
