// Inside the decoder: every kernel this build carries, each a complete
// decode_form_chunk with the same contract. The scalar kernel comes first and
// is the reference the others are tested against.
#pragma once

#include <span>

#include "decode.h"

namespace quenlo::detail {

using decode_kernel_fn = std::size_t (*)(decode_state&, std::span<const unsigned char>,
                                         unsigned char*);

struct decode_kernel {
    const char* name;
    bool (*supported)();  // whether the running CPU can execute it
    decode_kernel_fn run;
};

std::size_t decode_chunk_scalar(decode_state& state, std::span<const unsigned char> in,
                                unsigned char* out);

// All kernels, scalar first, in order of preference from the least to the most capable.
std::span<const decode_kernel> decode_kernels();

}  // namespace quenlo::detail
