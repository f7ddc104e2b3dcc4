// The frame of every vector kernel: settle the carried state, run the loop, decode the tail.
#include "kernels/kernel.h"

#include <cassert>

namespace quenlo {

std::size_t detail::decode_chunk_vector(decode_state& state, std::span<const unsigned char> in,
                                        unsigned char* out, vector_loop_fn loop) {
    std::size_t i = 0;
    std::size_t o = 0;
    // One byte at a time until nothing is carried, so the loop starts clean.
    while (i < in.size() && (state.pending_len != 0 || state.after_cr)) {
        o += decode_chunk_scalar(state, in.subspan(i, 1), out + o);
        ++i;
    }
    if (i < in.size()) {
        const vector_stop stop = loop(in.data() + i, in.size() - i, out + o);
        assert(keeps_contract(stop, in.size() - i));
        i += stop.in + stop.skip;
        o += stop.out;
        state.after_cr = stop.after_cr;
    }
    return o + decode_chunk_scalar(state, in.subspan(i), out + o);
}

}  // namespace quenlo
