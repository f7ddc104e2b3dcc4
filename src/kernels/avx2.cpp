// The AVX2 kernel: 32 bytes a step; the rule it follows is in kernel.h.
#include "kernels/kernel.h"

#if defined(__x86_64__)

#include "kernels/x86.h"

#define QUENLO_TARGET_AVX2 __attribute__((target("avx2,popcnt")))

namespace quenlo::detail {
namespace {

using namespace x86;

constexpr std::size_t width = 32;
constexpr unsigned all_bytes = 0xFFFFFFFFu;  // a mask with every byte of a block

QUENLO_TARGET_AVX2 inline __m256i repeat(char c) { return _mm256_set1_epi8(c); }

QUENLO_TARGET_AVX2 inline __m256i load(const unsigned char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

QUENLO_TARGET_AVX2 inline void store(unsigned char* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// One bit per byte of a comparison's result, byte k giving bit k.
QUENLO_TARGET_AVX2 inline unsigned bits(__m256i v) {
    return static_cast<unsigned>(_mm256_movemask_epi8(v));
}

// Either all of a or all of b, byte by byte, as `take_b` says.
QUENLO_TARGET_AVX2 inline __m256i select(__m256i a, __m256i b, __m256i take_b) {
    return _mm256_blendv_epi8(a, b, take_b);
}

// A 16-byte table in both lanes, for per-lane shuffles.
QUENLO_TARGET_AVX2 inline __m256i both_lanes(const unsigned char (&table)[16]) {
    return _mm256_broadcastsi128_si256(load_table(table));
}

// Whether each byte is not a hex digit (all ones) or is (zero); its value when it is.
QUENLO_TARGET_AVX2 inline __m256i hex_value(__m256i v, __m256i& not_hex) {
    const __m256i lo = _mm256_and_si256(v, repeat(0x0F));
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), repeat(0x0F));
    // Bit 0: could be a digit 0-9; bit 1: could be a letter A-F / a-f.
    const __m256i lo_class = _mm256_setr_epi8(1, 3, 3, 3, 3, 3, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0,  //
                                              1, 3, 3, 3, 3, 3, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0);
    const __m256i hi_class = _mm256_setr_epi8(0, 0, 0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                              0, 0, 0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i letter_add = _mm256_setr_epi8(0, 0, 0, 0, 9, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                                0, 0, 0, 0, 9, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i cls =
        _mm256_and_si256(_mm256_shuffle_epi8(lo_class, lo), _mm256_shuffle_epi8(hi_class, hi));
    not_hex = _mm256_cmpeq_epi8(cls, _mm256_setzero_si256());
    return _mm256_add_epi8(lo, _mm256_shuffle_epi8(letter_add, hi));
}

// The escapes' decoded bytes: (value1 << 4) | value2, where both are digits.
QUENLO_TARGET_AVX2 inline __m256i hex_pair(__m256i value1, __m256i value2) {
    return _mm256_or_si256(
        _mm256_and_si256(_mm256_slli_epi16(value1, 4), repeat(static_cast<char>(0xF0))), value2);
}

QUENLO_TARGET_AVX2 vector_stop avx2_loop(const unsigned char* in, std::size_t n,
                                         unsigned char* out) {
    std::size_t i = 0;
    unsigned char* o = out;
    unsigned carry = 0;  // digits at the start of the block that an escape before it took
    unsigned prev_cr = 0;
    const __m256i specials = both_lanes(special_by_low_nibble);
    const __m256i changes = both_lanes(change_by_low_nibble);
    // The two bytes after a block are looked at too.
    while (i + width + 2 <= n) {
        const __m256i v = load(in + i);
        const __m256i low = _mm256_and_si256(v, repeat(0x0F));
        const __m256i special = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(specials, low), v);
        if ((bits(special) | carry) == 0) {  // every byte gives itself
            store(o, v);
            o += width;
            i += width;
            prev_cr = 0;
            continue;
        }
        // Each byte's first output byte, escapes aside.
        __m256i first =
            _mm256_xor_si256(v, _mm256_and_si256(_mm256_shuffle_epi8(changes, low), special));
        const unsigned brk = bits(_mm256_cmpeq_epi8(first, repeat('\r')));  // '&', CR, LF
        const __m256i percent_v = _mm256_cmpeq_epi8(v, repeat('%'));
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
            __m256i not_hex1;
            __m256i not_hex2;
            const __m256i value1 = hex_value(load(in + i + 1), not_hex1);
            const __m256i value2 = hex_value(load(in + i + 2), not_hex2);
            const __m256i escape = _mm256_andnot_si256(_mm256_or_si256(not_hex1, not_hex2), percent_v);
            first = select(first, hex_pair(value1, value2), escape);
            esc = bits(escape);
        }
        const unsigned cr = bits(_mm256_cmpeq_epi8(v, repeat('\r')));
        unsigned lf_after_cr = 0;  // the LF of a CR LF
        if ((cr | prev_cr) != 0)
            lf_after_cr = bits(_mm256_cmpeq_epi8(v, repeat('\n'))) & ((cr << 1) | prev_cr);
        const unsigned keep = ~(digits_within(esc) | carry | lf_after_cr) & all_bytes;
        const unsigned twice = brk & ~lf_after_cr;
        // Every byte gives one: one store instead of two emit_block16 calls.
        // The 16-byte kernels lack this path; there the check costs more
        // instructions than it saves.
        if ((twice | (keep ^ all_bytes)) == 0) {
            store(o, first);
            o += width;
        } else {
            o = emit_block16(_mm256_castsi256_si128(first), keep & 0xFFFFu, twice & 0xFFFFu, o);
            o = emit_block16(_mm256_extracti128_si256(first, 1), keep >> 16, twice >> 16, o);
        }
        carry = digits_carried(esc, width);
        prev_cr = cr >> (width - 1);
        i += width;
    }
    return {i, static_cast<std::size_t>(o - out), carried_digits(carry), prev_cr != 0};
}

}  // namespace

bool avx2_supported() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
}

std::size_t decode_chunk_avx2(decode_state& state, std::span<const unsigned char> in,
                              unsigned char* out) {
    return decode_chunk_vector(state, in, out, avx2_loop);
}

}  // namespace quenlo::detail

#endif
