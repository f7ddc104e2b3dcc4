// The public decoder: the kernel the CPU runs best, and the end of the input.
#include <quenlo/decode.h>

#include "kernels/kernel.h"
#include "kernels/rule.h"

namespace quenlo {

std::size_t decode_form_chunk(decode_state& state, std::span<const unsigned char> in,
                              unsigned char* out) {
    static const detail::decode_kernel_fn best = detail::chosen_kernel().run;
    return best(state, in, out);
}

decode_state decode_state_after(std::span<const unsigned char> lead) {
    decode_state state{};
    if (lead.empty()) return state;
    const unsigned char last = lead.back();
    if (last == detail::rule::escape) {
        state.pending_len = 1;  // a '%' before it, if any, was stray
    } else if (last == detail::rule::cr) {
        state.after_cr = true;
    } else if (lead.size() >= 2 && lead[lead.size() - 2] == detail::rule::escape &&
               detail::rule::hex[last] >= 0) {
        state.pending_len = 2;
        state.pending_hex = last;
    }
    return state;
}

std::size_t decode_form_finish(decode_state& state, unsigned char* out) {
    std::size_t o = 0;
    if (state.pending_len >= 1) out[o++] = '%';
    if (state.pending_len == 2) out[o++] = state.pending_hex;
    state = decode_state{};
    return o;
}

}  // namespace quenlo
