// The public decoder: the kernel the CPU runs best, and the end of the input.
#include "decode.h"

#include "kernels/kernel.h"

namespace quenlo {

std::size_t decode_form_chunk(decode_state& state, std::span<const unsigned char> in,
                              unsigned char* out) {
    static const detail::decode_kernel_fn best = detail::chosen_kernel().run;
    return best(state, in, out);
}

std::size_t decode_form_finish(decode_state& state, unsigned char* out) {
    std::size_t o = 0;
    if (state.pending_len >= 1) out[o++] = '%';
    if (state.pending_len == 2) out[o++] = state.pending_hex;
    state = decode_state{};
    return o;
}

}  // namespace quenlo
