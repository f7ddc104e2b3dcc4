// The frame of every vector kernel: settle the carried state, run the loop, decode the tail.
#include "kernels/kernel.h"

#include <cassert>

namespace quenlo {

std::size_t detail::decode_chunk_vector(decode_state& state, std::span<const unsigned char> in,
                                        unsigned char* out, vector_loop_fn loop) {
    // Only the carried escape's digits or the LF after a carried CR: a piece
    // that ends in a carried state again and again must still reach the loop.
    const settled carried = settle_carried(state, in, out);
    std::size_t i = carried.in;
    std::size_t o = carried.out;
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
