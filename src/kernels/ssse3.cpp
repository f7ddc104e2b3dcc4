// The SSSE3 kernel: the block loop of block.h, 32 bytes a step in two vectors.
#include <immintrin.h>

#include "kernels/kernel.h"
#include "kernels/rule.h"

QUENLO_TARGET_REGION("ssse3")
#include "kernels/block.h"
#include "kernels/x86.h"

namespace quenlo::detail {
namespace {

struct ssse3 : x86::group16 {
    using vec = __m128i;
    static constexpr std::size_t width = 16;

    static vec load(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const vec*>(p)); }
    static void store(unsigned char* p, vec v) { _mm_storeu_si128(reinterpret_cast<vec*>(p), v); }
    static vec repeat(unsigned char c) { return _mm_set1_epi8(static_cast<char>(c)); }
    static vec table(const std::array<unsigned char, 16>& t) { return load(t.data()); }
    static vec lookup(vec table, vec nibbles) { return _mm_shuffle_epi8(table, nibbles); }
    static vec low_nibbles(vec v) { return _mm_and_si128(v, repeat(0x0F)); }
    static vec high_nibbles(vec v) { return _mm_and_si128(_mm_srli_epi16(v, 4), repeat(0x0F)); }
    static vec eq(vec a, vec b) { return _mm_cmpeq_epi8(a, b); }
    static vec add(vec a, vec b) { return _mm_add_epi8(a, b); }
    static vec and_(vec a, vec b) { return _mm_and_si128(a, b); }
    static vec or_(vec a, vec b) { return _mm_or_si128(a, b); }
    static vec xor_(vec a, vec b) { return _mm_xor_si128(a, b); }
    static vec andnot(vec a, vec b) { return _mm_andnot_si128(b, a); }
    static vec select(vec a, vec b, vec take_b) { return or_(andnot(a, take_b), and_(b, take_b)); }
    // A 16-bit shift: see block.h for why a byte's bits carried into the next do no harm.
    static vec hex_pair(vec hi, vec lo) { return or_(_mm_slli_epi16(hi, 4), lo); }
    static unsigned any(vec v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }
    static unsigned bits2(vec a, vec b) { return any(a) | any(b) << 16; }  // any() is the mask
    static vec next(vec v, vec w) { return _mm_alignr_epi8(w, v, 1); }
};

}  // namespace

bool ssse3_supported() { return __builtin_cpu_supports("ssse3"); }

std::size_t decode_chunk_ssse3(decode_state& state, std::span<const unsigned char> in, unsigned char* out) {
    return decode_chunk_vector(state, in, out, block_loop<pair<ssse3>>);
}

}  // namespace quenlo::detail
QUENLO_END_TARGET_REGION
