// The NEON kernel: 16 bytes a step; the rule it follows is in kernel.h.
// It is the SSSE3 kernel's loop in Advanced SIMD, with the same helpers.
#include "kernels/kernel.h"

#if QUENLO_KERNEL_NEON

#include <arm_neon.h>

#include <cstdint>

#include "kernels/emit_tables.h"

namespace quenlo::detail {
namespace {

constexpr std::size_t width = 16;
constexpr unsigned all_bytes = 0xFFFFu;  // a mask with every byte of a block

inline uint8x16_t repeat(char c) { return vdupq_n_u8(static_cast<std::uint8_t>(c)); }

inline uint8x16_t load(const unsigned char* p) { return vld1q_u8(p); }

inline void store(unsigned char* p, uint8x16_t v) { vst1q_u8(p, v); }

// One bit per byte of a comparison's result, byte k giving bit k. NEON has
// no movemask: each byte keeps its own bit of 1-128, and three pairwise
// additions fold the 16 bytes into two.
inline unsigned bits(uint8x16_t v) {
    static constexpr std::uint8_t weights[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                                 1, 2, 4, 8, 16, 32, 64, 128};
    uint8x16_t t = vandq_u8(v, vld1q_u8(weights));
    t = vpaddq_u8(t, t);
    t = vpaddq_u8(t, t);
    t = vpaddq_u8(t, t);
    return vgetq_lane_u16(vreinterpretq_u16_u8(t), 0);
}

// Whether any byte of a comparison's result is set: the fast paths ask only
// that, and one across-vector maximum is cheaper than bits().
inline bool any(uint8x16_t v) { return vmaxvq_u8(v) != 0; }

// Either all of a or all of b, byte by byte, as `take_b` says.
inline uint8x16_t select(uint8x16_t a, uint8x16_t b, uint8x16_t take_b) {
    return vbslq_u8(take_b, b, a);
}

// Low nibble to the one special byte with that low nibble (TAB LF CR % & +
// differ there); entries with no special byte hold a byte of another nibble.
inline uint8x16_t special_by_low_nibble() {
    static constexpr std::uint8_t table[16] = {1, 0,    0,    0,   0, '%',  '&', 0,
                                               0, '\t', '\n', '+', 0, '\r', 0,   0};
    return vld1q_u8(table);
}

// Whether each byte is not a hex digit (all ones) or is (zero); its value when it is.
inline uint8x16_t hex_value(uint8x16_t v, uint8x16_t& not_hex) {
    const uint8x16_t lo = vandq_u8(v, repeat(0x0F));
    const uint8x16_t hi = vshrq_n_u8(v, 4);
    // Bit 0: could be a digit 0-9; bit 1: could be a letter A-F / a-f.
    static constexpr std::uint8_t lo_class[16] = {1, 3, 3, 3, 3, 3, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0};
    static constexpr std::uint8_t hi_class[16] = {0, 0, 0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    static constexpr std::uint8_t letter_add[16] = {0, 0, 0, 0, 9, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const uint8x16_t cls =
        vandq_u8(vqtbl1q_u8(vld1q_u8(lo_class), lo), vqtbl1q_u8(vld1q_u8(hi_class), hi));
    not_hex = vceqzq_u8(cls);
    return vaddq_u8(lo, vqtbl1q_u8(vld1q_u8(letter_add), hi));
}

// The escapes' decoded bytes: (value1 << 4) | value2, where both are digits,
// in one shift-and-insert.
inline uint8x16_t hex_pair(uint8x16_t value1, uint8x16_t value2) {
    return vsliq_n_u8(value2, value1, 4);
}

// Writes the bytes of `slots` whose bit is set in `mask` (16 bits) to `out`,
// in order. Stores 16 bytes whatever the count.
inline unsigned char* emit16(uint8x16_t slots, unsigned mask, unsigned char* out) {
    const unsigned lo = mask & 0xFFu;
    const unsigned hi = (mask >> 8) & 0xFFu;
    const uint8x16_t index = vcombine_u8(vcreate_u8(compact_table[lo]),
                                         vcreate_u8(compact_table[hi] + 0x0808080808080808u));
    const uint8x16_t packed = vqtbl1q_u8(slots, index);
    vst1_u8(out, vget_low_u8(packed));
    out += count_table[lo];
    vst1_u8(out, vget_high_u8(packed));
    return out + count_table[hi];
}

// Writes the output of the 8 bytes in the low half of `source`, whose high
// half holds "\n": `keep` says which bytes give output, `twice` which of
// them also give a "\n". Stores 16 bytes whatever the count.
inline unsigned char* emit8_expanding(uint8x16_t source, unsigned keep, unsigned twice,
                                      unsigned char* out) {
    const expand_entry& e = expand_table[base3[keep] + base3[twice]];
    store(out, vqtbl1q_u8(source, vld1q_u8(e.index.data())));
    return out + e.length;
}

// Writes the output of 16 input bytes: `first` holds each byte's first output
// byte, `keep` says which bytes give output and `twice` which of them also
// give a "\n". Stores up to 32 bytes.
inline unsigned char* emit_block16(uint8x16_t first, unsigned keep, unsigned twice,
                                   unsigned char* out) {
    if (twice == 0) return emit16(first, keep, out);
    const uint8x8_t lf = vdup_n_u8('\n');
    out = emit8_expanding(vcombine_u8(vget_low_u8(first), lf), keep & 0xFFu, twice & 0xFFu, out);
    return emit8_expanding(vcombine_u8(vget_high_u8(first), lf), (keep >> 8) & 0xFFu,
                           (twice >> 8) & 0xFFu, out);
}

vector_stop neon_loop(const unsigned char* in, std::size_t n, unsigned char* out) {
    std::size_t i = 0;
    unsigned char* o = out;
    unsigned carry = 0;  // digits at the start of the block that an escape before it took
    unsigned prev_cr = 0;
    const uint8x16_t specials = special_by_low_nibble();
    // The two bytes after a block are looked at too.
    while (i + width + 2 <= n) {
        const uint8x16_t v = load(in + i);
        const uint8x16_t special = vceqq_u8(vqtbl1q_u8(specials, vandq_u8(v, repeat(0x0F))), v);
        if (!any(special) && carry == 0) {  // every byte gives itself
            store(o, v);
            o += width;
            i += width;
            prev_cr = 0;
            continue;
        }
        const uint8x16_t space = vorrq_u8(vceqq_u8(v, repeat('+')), vceqq_u8(v, repeat('\t')));
        uint8x16_t first = select(v, repeat(' '), space);
        if (!any(vbicq_u8(special, space)) && carry == 0) {  // ... or a space
            store(o, first);
            o += width;
            i += width;
            prev_cr = 0;
            continue;
        }
        uint8x16_t not_hex1;
        uint8x16_t not_hex2;
        const uint8x16_t value1 = hex_value(load(in + i + 1), not_hex1);
        const uint8x16_t value2 = hex_value(load(in + i + 2), not_hex2);
        const uint8x16_t escape = vbicq_u8(vceqq_u8(v, repeat('%')), vorrq_u8(not_hex1, not_hex2));
        const uint8x16_t value = hex_pair(value1, value2);
        const uint8x16_t cr_v = vceqq_u8(v, repeat('\r'));
        const uint8x16_t lf_v = vceqq_u8(v, repeat('\n'));
        const uint8x16_t brk_v = vorrq_u8(vorrq_u8(cr_v, lf_v), vceqq_u8(v, repeat('&')));
        first = select(first, repeat('\r'), brk_v);
        first = select(first, value, escape);

        const unsigned esc = bits(escape);
        const unsigned cr = bits(cr_v);
        const unsigned lf_after_cr = bits(lf_v) & ((cr << 1) | prev_cr);  // the LF of a CR LF
        const unsigned keep = ~(digits_within(esc) | carry | lf_after_cr) & all_bytes;
        const unsigned twice = bits(brk_v) & ~lf_after_cr;
        o = emit_block16(first, keep, twice, o);
        carry = digits_carried(esc, width);
        prev_cr = cr >> (width - 1);
        i += width;
    }
    return {i, static_cast<std::size_t>(o - out), carried_digits(carry), prev_cr != 0};
}

}  // namespace

std::size_t decode_chunk_neon(decode_state& state, std::span<const unsigned char> in,
                              unsigned char* out) {
    return decode_chunk_vector(state, in, out, neon_loop);
}

}  // namespace quenlo::detail

#endif
