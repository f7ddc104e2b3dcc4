// The one-thread pass.
#include "one_thread_pass.h"

namespace quenlo::detail {

outcome one_thread_pass(const pass_calls& calls, io::file_handle in, piece& first, piece_buffer& buffer,
                        io::file_handle out) {
    decode_state state{};
    outcome o;
    for (piece& p = first;;) {  // `first` was looked through already, the others as they are decoded
        const std::size_t n = decode_piece_to_ctrl_z(state, p, buffer.out);
        if (!write_piece(calls, p, buffer.out, n, out, o)) return o;
        read_piece(calls, in, p, true);
    }
}

}  // namespace quenlo::detail
