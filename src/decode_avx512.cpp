// The AVX-512 kernel: 64 bytes a step, with byte masks and byte compress
// (VBMI2); the rule it follows is in decode_x86.h.
#include "decode_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#define QUENLO_TARGET_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi2,popcnt")))

namespace quenlo::detail {
namespace {

constexpr std::size_t width = 64;

QUENLO_TARGET_AVX512 inline __m512i repeat(char c) { return _mm512_set1_epi8(c); }

QUENLO_TARGET_AVX512 inline __m512i load(const unsigned char* p) {
    return _mm512_loadu_si512(p);
}

// Which bytes are hex digits, and their values where they are.
QUENLO_TARGET_AVX512 inline __m512i hex_value(__m512i v, __mmask64& is_hex) {
    const __m512i digit = _mm512_sub_epi8(v, repeat('0'));
    const __m512i letter = _mm512_sub_epi8(_mm512_or_si512(v, repeat(0x20)), repeat('a'));
    const __mmask64 is_letter = _mm512_cmplt_epu8_mask(letter, repeat(6));
    is_hex = _mm512_cmplt_epu8_mask(digit, repeat(10)) | is_letter;
    return _mm512_mask_add_epi8(digit, is_letter, letter, repeat(10));
}

// Index vectors that pair each of 32 bytes (from `first`) with a "\n" (from the other operand).
QUENLO_TARGET_AVX512 inline __m512i pair_index(char from) {
    alignas(64) char index[64];
    for (int k = 0; k < 32; ++k) {
        index[2 * k] = static_cast<char>(from + k);
        index[2 * k + 1] = 64;
    }
    return _mm512_load_si512(index);
}

QUENLO_TARGET_AVX512 vector_stop avx512_loop(const unsigned char* in, std::size_t n,
                                             unsigned char* out) {
    std::size_t i = 0;
    unsigned char* o = out;
    std::uint64_t carry = 0;  // digits at the start of the block that an escape before it took
    std::uint64_t prev_cr = 0;
    // Low nibble to the one special byte with that low nibble (TAB LF CR % & +
    // differ there); entries with no special byte hold a byte of another nibble.
    alignas(64) unsigned char by_nibble[64] = {};
    for (std::size_t k = 0; k < 64; k += 16) {
        by_nibble[k] = 1;
        by_nibble[k + 5] = '%';
        by_nibble[k + 6] = '&';
        by_nibble[k + 9] = '\t';
        by_nibble[k + 10] = '\n';
        by_nibble[k + 11] = '+';
        by_nibble[k + 13] = '\r';
    }
    const __m512i specials = _mm512_load_si512(by_nibble);
    const __m512i lo_pairs = pair_index(0);
    const __m512i hi_pairs = pair_index(32);
    constexpr std::uint64_t even = 0x5555555555555555u;
    // The two bytes after a block are looked at too.
    while (i + width + 2 <= n) {
        const __m512i v = load(in + i);
        const std::uint64_t special = _mm512_cmpeq_epi8_mask(
            _mm512_shuffle_epi8(specials, _mm512_and_si512(v, repeat(0x0F))), v);
        if ((special | carry) == 0) {
            _mm512_storeu_si512(o, v);
            o += width;
            i += width;
            prev_cr = 0;
            continue;
        }
        const __mmask64 space =
            _mm512_cmpeq_epi8_mask(v, repeat('+')) | _mm512_cmpeq_epi8_mask(v, repeat('\t'));
        __m512i first = _mm512_mask_mov_epi8(v, space, repeat(' '));
        if (((special & ~space) | carry) == 0) {
            _mm512_storeu_si512(o, first);
            o += width;
            i += width;
            prev_cr = 0;
            continue;
        }
        const std::uint64_t percent = _mm512_cmpeq_epi8_mask(v, repeat('%'));
        std::uint64_t esc = 0;
        if (percent != 0) {
            __mmask64 hex1;
            __mmask64 hex2;
            const __m512i value1 = hex_value(load(in + i + 1), hex1);
            const __m512i value2 = hex_value(load(in + i + 2), hex2);
            esc = percent & hex1 & hex2;
            const __m512i value = _mm512_or_si512(
                _mm512_and_si512(_mm512_slli_epi16(value1, 4), repeat(static_cast<char>(0xF0))),
                value2);
            first = _mm512_mask_mov_epi8(first, esc, value);
        }
        // What is special and neither a space nor a '%' breaks a line.
        const std::uint64_t brk = special & ~space & ~percent;
        const std::uint64_t cr = _mm512_cmpeq_epi8_mask(v, repeat('\r'));
        const std::uint64_t lf = _mm512_cmpeq_epi8_mask(v, repeat('\n'));
        first = _mm512_mask_mov_epi8(first, brk, repeat('\r'));

        const std::uint64_t lf_after_cr = lf & ((cr << 1) | prev_cr);
        const std::uint64_t keep = ~((esc << 1) | (esc << 2) | carry | lf_after_cr);
        const std::uint64_t twice = brk & ~lf_after_cr;
        if (twice == 0) {
            _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(keep, first));
            o += _mm_popcnt_u64(keep);
        } else {
            const __m512i lf_v = repeat('\n');
            const std::uint64_t lo = _pdep_u64(keep, even) | _pdep_u64(twice, even << 1);
            const std::uint64_t hi = _pdep_u64(keep >> 32, even) | _pdep_u64(twice >> 32, even << 1);
            _mm512_storeu_si512(
                o, _mm512_maskz_compress_epi8(lo, _mm512_permutex2var_epi8(first, lo_pairs, lf_v)));
            o += _mm_popcnt_u64(lo);
            _mm512_storeu_si512(
                o, _mm512_maskz_compress_epi8(hi, _mm512_permutex2var_epi8(first, hi_pairs, lf_v)));
            o += _mm_popcnt_u64(hi);
        }
        carry = (esc >> (width - 1)) | (esc >> (width - 2));
        prev_cr = cr >> (width - 1);
        i += width;
    }
    return {i, static_cast<std::size_t>(o - out), carry == 0 ? 0u : carry == 1 ? 1u : 2u,
            prev_cr != 0};
}

}  // namespace

bool avx512_supported() {
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("popcnt");
}

std::size_t decode_chunk_avx512(decode_state& state, std::span<const unsigned char> in,
                                unsigned char* out) {
    return decode_chunk_vector(state, in, out, avx512_loop);
}

}  // namespace quenlo::detail

#endif
