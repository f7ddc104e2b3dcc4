// The NEON kernel: the block loop of block.h, 32 bytes a step in two
// vectors. Advanced SIMD is part of every AArch64 CPU, so it needs no check
// at run time.
#include <arm_neon.h>

#include "kernels/block.h"

#if !defined(__AARCH64EL__)
#error "the NEON kernel's shuffle indices assume little-endian byte order"
#endif

namespace quenlo::detail {
namespace {

struct neon {
    using vec = uint8x16_t;
    using vec16 = uint8x16_t;
    static constexpr std::size_t width = 16;

    static vec load(const unsigned char* p) { return vld1q_u8(p); }
    static void store(unsigned char* p, vec v) { vst1q_u8(p, v); }
    static vec repeat(unsigned char c) { return vdupq_n_u8(c); }
    static vec table(const std::array<unsigned char, 16>& t) { return vld1q_u8(t.data()); }
    static vec lookup(vec table, vec nibbles) { return vqtbl1q_u8(table, nibbles); }
    static vec low_nibbles(vec v) { return vandq_u8(v, repeat(0x0F)); }
    static vec high_nibbles(vec v) { return vshrq_n_u8(v, 4); }
    static vec eq(vec a, vec b) { return vceqq_u8(a, b); }
    static vec add(vec a, vec b) { return vaddq_u8(a, b); }
    static vec and_(vec a, vec b) { return vandq_u8(a, b); }
    static vec or_(vec a, vec b) { return vorrq_u8(a, b); }
    static vec xor_(vec a, vec b) { return veorq_u8(a, b); }
    static vec andnot(vec a, vec b) { return vbicq_u8(a, b); }
    static vec select(vec a, vec b, vec take_b) { return vbslq_u8(take_b, b, a); }
    static vec hex_pair(vec hi, vec lo) { return vsliq_n_u8(lo, hi, 4); }  // one shift-and-insert
    // One across-vector maximum is cheaper than bits2().
    static unsigned any(vec v) { return vmaxvq_u8(v); }
    // NEON has no movemask: each byte keeps its own bit of 1-128, and three
    // pairwise additions fold both vectors' 32 bytes into four, the masks of
    // a and b.
    static unsigned bits2(vec a, vec b) {
        static constexpr std::uint8_t weights[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
        const vec w = vld1q_u8(weights);
        vec t = vpaddq_u8(vandq_u8(a, w), vandq_u8(b, w));
        t = vpaddq_u8(t, t);
        t = vpaddq_u8(t, t);
        return vgetq_lane_u32(vreinterpretq_u32_u8(t), 0);
    }
    static vec next(vec v, vec w) { return vextq_u8(v, w, 1); }
    static vec shuffle16(vec v, std::uint64_t lo, std::uint64_t hi) {
        return vqtbl1q_u8(v, vcombine_u8(vcreate_u8(lo), vcreate_u8(hi)));
    }
    static vec shuffle16i(vec v, const unsigned char* index) { return vqtbl1q_u8(v, vld1q_u8(index)); }
    static vec half_with(vec v, std::size_t half, vec w) {
        return vcombine_u8(half == 0 ? vget_low_u8(v) : vget_high_u8(v), vget_low_u8(w));
    }
    static void store16(unsigned char* p, vec v) { vst1q_u8(p, v); }
    static void store_low8(unsigned char* p, vec v) { vst1_u8(p, vget_low_u8(v)); }
    static void store_high8(unsigned char* p, vec v) { vst1_u8(p, vget_high_u8(v)); }
};

}  // namespace

std::size_t decode_chunk_neon(decode_state& state, std::span<const unsigned char> in, unsigned char* out) {
    return decode_chunk_vector(state, in, out, block_loop<pair<neon>>);
}

}  // namespace quenlo::detail
