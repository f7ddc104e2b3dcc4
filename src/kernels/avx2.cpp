// The AVX2 kernel: the block loop of block.h, 32 bytes a step.
#include <immintrin.h>

#include "kernels/kernel.h"
#include "kernels/rule.h"

QUENLO_TARGET_REGION("avx2")
#include "kernels/block.h"
#include "kernels/x86.h"

namespace quenlo::detail {
namespace {

struct avx2 : x86::group16 {
    using vec = __m256i;
    static constexpr std::size_t width = 32;

    static vec load(const unsigned char* p) { return _mm256_loadu_si256(reinterpret_cast<const vec*>(p)); }
    static void store(unsigned char* p, vec v) { _mm256_storeu_si256(reinterpret_cast<vec*>(p), v); }
    static vec repeat(unsigned char c) { return _mm256_set1_epi8(static_cast<char>(c)); }
    static vec table(const std::array<unsigned char, 16>& t) {
        return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data())));
    }
    static vec lookup(vec table, vec nibbles) { return _mm256_shuffle_epi8(table, nibbles); }
    static vec low_nibbles(vec v) { return _mm256_and_si256(v, repeat(0x0F)); }
    static vec high_nibbles(vec v) { return _mm256_and_si256(_mm256_srli_epi16(v, 4), repeat(0x0F)); }
    static vec eq(vec a, vec b) { return _mm256_cmpeq_epi8(a, b); }
    static vec add(vec a, vec b) { return _mm256_add_epi8(a, b); }
    static vec and_(vec a, vec b) { return _mm256_and_si256(a, b); }
    static vec or_(vec a, vec b) { return _mm256_or_si256(a, b); }
    static vec xor_(vec a, vec b) { return _mm256_xor_si256(a, b); }
    static vec andnot(vec a, vec b) { return _mm256_andnot_si256(b, a); }
    static vec select(vec a, vec b, vec take_b) { return _mm256_blendv_epi8(a, b, take_b); }
    // A 16-bit shift: see block.h for why a byte's bits carried into the next do no harm.
    static vec hex_pair(vec hi, vec lo) { return or_(_mm256_slli_epi16(hi, 4), lo); }
    static unsigned bits(vec v) { return static_cast<unsigned>(_mm256_movemask_epi8(v)); }
    static unsigned any(vec v) { return bits(v); }
    static void pin(vec& v) { asm("" : "+x"(v)); }
    // v one byte on, `last` in its last byte: across the two lanes. Where
    // escapes are rare, it made the loop's blocks of spaces a seventh slower.
    static vec shift_in(vec v, unsigned char last) {
        return _mm256_alignr_epi8(_mm256_permute2x128_si256(v, repeat(last), 0x21), v, 1);
    }
    static constexpr bool shift_in_everywhere = false;
    static __m128i group(vec v, std::size_t k) {
        return k == 0 ? _mm256_castsi256_si128(v) : _mm256_extracti128_si256(v, 1);
    }
};

}  // namespace

bool avx2_supported() { return __builtin_cpu_supports("avx2"); }

std::size_t decode_chunk_avx2(decode_state& state, std::span<const unsigned char> in, unsigned char* out) {
    return decode_chunk_vector(state, in, out, block_loop<avx2>);
}

}  // namespace quenlo::detail
QUENLO_END_TARGET_REGION
