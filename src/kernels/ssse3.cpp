// The SSSE3 kernel: 16 bytes a step; the rule it follows is in kernel.h.
#include "kernels/kernel.h"

#if defined(__x86_64__)

#include "kernels/x86.h"

namespace quenlo::detail {
namespace {

using namespace x86;

constexpr std::size_t width = 16;
constexpr unsigned all_bytes = 0xFFFFu;  // a mask with every byte of a block

QUENLO_TARGET_SSSE3 inline __m128i repeat(char c) { return _mm_set1_epi8(c); }

QUENLO_TARGET_SSSE3 inline __m128i load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

QUENLO_TARGET_SSSE3 inline void store(unsigned char* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// One bit per byte of a comparison's result, byte k giving bit k.
QUENLO_TARGET_SSSE3 inline unsigned bits(__m128i v) {
    return static_cast<unsigned>(_mm_movemask_epi8(v));
}

// Either all of a or all of b, byte by byte, as `take_b` says.
QUENLO_TARGET_SSSE3 inline __m128i select(__m128i a, __m128i b, __m128i take_b) {
    return _mm_or_si128(_mm_andnot_si128(take_b, a), _mm_and_si128(take_b, b));
}

// Whether each byte is not a hex digit (all ones) or is (zero); its value when it is.
QUENLO_TARGET_SSSE3 inline __m128i hex_value(__m128i v, __m128i& not_hex) {
    const __m128i lo = _mm_and_si128(v, repeat(0x0F));
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), repeat(0x0F));
    // Bit 0: could be a digit 0-9; bit 1: could be a letter A-F / a-f.
    const __m128i lo_class = _mm_setr_epi8(1, 3, 3, 3, 3, 3, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0);
    const __m128i hi_class = _mm_setr_epi8(0, 0, 0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m128i letter_add = _mm_setr_epi8(0, 0, 0, 0, 9, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m128i cls =
        _mm_and_si128(_mm_shuffle_epi8(lo_class, lo), _mm_shuffle_epi8(hi_class, hi));
    not_hex = _mm_cmpeq_epi8(cls, _mm_setzero_si128());
    return _mm_add_epi8(lo, _mm_shuffle_epi8(letter_add, hi));
}

// The escapes' decoded bytes: (value1 << 4) | value2, where both are digits.
QUENLO_TARGET_SSSE3 inline __m128i hex_pair(__m128i value1, __m128i value2) {
    return _mm_or_si128(_mm_and_si128(_mm_slli_epi16(value1, 4), repeat(static_cast<char>(0xF0))),
                        value2);
}

QUENLO_TARGET_SSSE3 vector_stop ssse3_loop(const unsigned char* in, std::size_t n,
                                           unsigned char* out) {
    std::size_t i = 0;
    unsigned char* o = out;
    unsigned carry = 0;  // digits at the start of the block that an escape before it took
    unsigned prev_cr = 0;
    const __m128i specials = load_table(special_by_low_nibble);
    const __m128i changes = load_table(change_by_low_nibble);
    // The two bytes after a block are looked at too.
    while (i + width + 2 <= n) {
        const __m128i v = load(in + i);
        const __m128i low = _mm_and_si128(v, repeat(0x0F));
        const __m128i special = _mm_cmpeq_epi8(_mm_shuffle_epi8(specials, low), v);
        if ((bits(special) | carry) == 0) {  // every byte gives itself
            store(o, v);
            o += width;
            i += width;
            prev_cr = 0;
            continue;
        }
        // Each byte's first output byte, escapes aside.
        __m128i first = _mm_xor_si128(v, _mm_and_si128(_mm_shuffle_epi8(changes, low), special));
        const unsigned brk = bits(_mm_cmpeq_epi8(first, repeat('\r')));  // '&', CR, LF
        const __m128i percent_v = _mm_cmpeq_epi8(v, repeat('%'));
        const unsigned percent = bits(percent_v);
        if ((brk | percent | carry) == 0) {  // ... or a space
            store(o, first);
            o += width;
            i += width;
            prev_cr = 0;
            continue;
        }
        // Hex digits only where there is a '%', the LF of a CR LF only where
        // there is a CR: form data has few of either.
        unsigned esc = 0;
        if (percent != 0) {
            __m128i not_hex1;
            const __m128i value1 = hex_value(load(in + i + 1), not_hex1);
            // Second digits are first digits one byte on, the byte after
            // them added at the end: one vector hex lookup instead of two.
            // 0xFF (top bit set) when it is not a digit.
            const auto last = static_cast<unsigned char>(hex_table[in[i + width + 1]]);
            const __m128i value2 = _mm_alignr_epi8(_mm_cvtsi32_si128(static_cast<int>(last)), value1, 1);
            const __m128i not_hex2 =
                _mm_alignr_epi8(_mm_cvtsi32_si128(-(last >> 7)), not_hex1, 1);
            const __m128i escape = _mm_andnot_si128(_mm_or_si128(not_hex1, not_hex2), percent_v);
            first = select(first, hex_pair(value1, value2), escape);
            esc = bits(escape);
        }
        const unsigned cr = bits(_mm_cmpeq_epi8(v, repeat('\r')));
        unsigned lf_after_cr = 0;  // the LF of a CR LF
        if ((cr | prev_cr) != 0)
            lf_after_cr = bits(_mm_cmpeq_epi8(v, repeat('\n'))) & ((cr << 1) | prev_cr);
        const unsigned keep = ~(digits_within(esc) | carry | lf_after_cr) & all_bytes;
        const unsigned twice = brk & ~lf_after_cr;
        o = emit_block16(first, keep, twice, o);
        carry = digits_carried(esc, width);
        prev_cr = cr >> (width - 1);
        i += width;
    }
    return {i, static_cast<std::size_t>(o - out), carried_digits(carry), prev_cr != 0};
}

}  // namespace

bool ssse3_supported() { return __builtin_cpu_supports("ssse3"); }

std::size_t decode_chunk_ssse3(decode_state& state, std::span<const unsigned char> in,
                               unsigned char* out) {
    return decode_chunk_vector(state, in, out, ssse3_loop);
}

}  // namespace quenlo::detail

#endif
