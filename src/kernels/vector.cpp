// The frame of every vector kernel: settle the carried state, run the loop, decode the tail.
#include "kernels/kernel.h"
#include "kernels/rule.h"

#include <cassert>

namespace quenlo {

detail::settled detail::settle_carried(decode_state& state, std::span<const unsigned char> in,
                                       unsigned char* out) {
    const unsigned char* p = in.data();
    const std::size_t n = in.size();
    std::size_t i = 0, o = 0;
    if (n == 0) return {0, 0};
    if (state.after_cr) {
        state.after_cr = false;
        if (p[0] == rule::lf) i = 1;
    }
    if (state.pending_len == 1) {
        if (i == n) return {i, o};
        if (rule::hex[p[i]] >= 0) {
            state.pending_len = 2;
            state.pending_hex = p[i++];
        } else {
            out[o++] = rule::escape;
            state.pending_len = 0;
        }
    }
    if (state.pending_len == 2) {
        if (i == n) return {i, o};
        if (rule::hex[p[i]] >= 0) {
            out[o++] = static_cast<unsigned char>(rule::hex[state.pending_hex] * 16 + rule::hex[p[i++]]);
        } else {
            out[o++] = rule::escape;
            out[o++] = state.pending_hex;
        }
        state.pending_len = 0;
    }
    return {i, o};
}

std::size_t detail::decode_chunk_vector(decode_state& state, std::span<const unsigned char> in,
                                        unsigned char* out, vector_loop_fn loop, bool* ctrl_z_seen) {
    // Only the carried escape's digits or the LF after a carried CR: a piece
    // that ends in a carried state again and again must still reach the loop.
    const settled carried = settle_carried(state, in, out);
    std::size_t i = carried.in, o = carried.out;
    vector_stop stop;
    if (i < in.size()) {
        stop = loop(in.data() + i, in.size() - i, out + o);
        assert(keeps_contract(stop, in.size() - i));
        i += stop.in + stop.skip;
        o += stop.out;
        state.after_cr = stop.after_cr;
    }
    // The loop looked at the bytes it took; those settled before it and
    // skipped after it are an LF and escape digits.
    if (ctrl_z_seen != nullptr) *ctrl_z_seen = stop.ctrl_z || holds_ctrl_z(in.subspan(i));
    return o + decode_chunk_scalar(state, in.subspan(i), out + o);
}

}  // namespace quenlo
