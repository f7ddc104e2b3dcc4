// The frame of every vector kernel: settle the carried state, run the loop, decode the tail.
#include "kernels/kernel.h"
#include "kernels/rule.h"

#include <cassert>
#include <cstring>

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

namespace {

// What every vector kernel does before its tail: settles what the previous
// call left open and runs the loop. Returns the output written; `taken` is
// set to the input it took.
std::size_t settle_then_loop(decode_state& state, std::span<const unsigned char> in, unsigned char* out,
                             detail::vector_loop_fn loop, std::size_t& taken) {
    // Only the carried escape's digits or the LF after a carried CR: a piece
    // that ends in a carried state again and again must still reach the loop.
    const detail::settled carried = detail::settle_carried(state, in, out);
    std::size_t i = carried.in, o = carried.out;
    if (i < in.size()) {
        const detail::vector_stop stop = loop(in.data() + i, in.size() - i, out + o);
        assert(detail::keeps_contract(stop, in.size() - i));
        i += stop.in + stop.skip;
        o += stop.out;
        state.after_cr = stop.after_cr;
    }
    taken = i;
    return o;
}

}  // namespace

std::size_t detail::decode_chunk_vector(decode_state& state, std::span<const unsigned char> in,
                                        unsigned char* out, vector_loop_fn loop) {
    std::size_t i = 0;
    const std::size_t o = settle_then_loop(state, in, out, loop, i);
    return o + decode_chunk_scalar(state, in.subspan(i), out + o);
}

// settle_carried never takes a Ctrl-Z (it is neither a digit nor an LF), and
// what it writes for an escape cut short by one is what decode_form_finish
// would write; a carried digit the loop skips is no Ctrl-Z either. So only
// what the loop left, under two blocks, is searched here.
std::size_t detail::decode_chunk_vector_to_eot(decode_state& state, std::span<const unsigned char> in,
                                               unsigned char* out, vector_loop_fn loop, std::size_t& taken) {
    std::size_t i = 0;
    const std::size_t o = settle_then_loop(state, in, out, loop, i);
    const void* eot = std::memchr(in.data() + i, rule::end_of_text, in.size() - i);
    taken = eot == nullptr ? in.size() : static_cast<std::size_t>(static_cast<const unsigned char*>(eot) - in.data());
    return o + decode_chunk_scalar(state, in.subspan(i, taken - i), out + o);
}

}  // namespace quenlo
