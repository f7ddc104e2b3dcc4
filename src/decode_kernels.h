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

// Input taken and output written by settle_carried.
struct settled {
    std::size_t in = 0;
    std::size_t out = 0;
};

// Finishes only what the previous call left open: drops the LF that
// completes a carried CR, and decodes a carried "%" or "%X" with the digits
// it needs. It takes no byte beyond those, even a '%' or CR that would carry
// again, so the rest can go to a vector loop. Unless it took all of `in`,
// `state` carries nothing afterwards.
settled settle_carried(decode_state& state, std::span<const unsigned char> in, unsigned char* out);

// Where a vector loop stopped: input taken, output written, how many bytes
// from there on are escape digits it has already decoded, and whether the
// last byte it took was a CR.
struct vector_stop {
    std::size_t in = 0;
    std::size_t out = 0;
    unsigned skip = 0;
    bool after_cr = false;
};

// vector_stop::skip from a loop's carry mask (bit k set: byte k after the last
// block is a digit of an escape inside it, which is 0, 0b01 or 0b11).
constexpr unsigned carried_digits(std::uint64_t carry) {
    return carry == 0 ? 0u : carry == 1 ? 1u : 2u;
}

// Decodes whole blocks from `in` (no state carried in) while the rest is
// long enough, writing at most twice the bytes it takes.
using vector_loop_fn = vector_stop (*)(const unsigned char* in, std::size_t n, unsigned char* out);

// A complete kernel around a vector loop: settle_carried finishes what the
// previous call left open, the loop takes the bulk, the scalar kernel takes
// the tail.
std::size_t decode_chunk_vector(decode_state& state, std::span<const unsigned char> in,
                                unsigned char* out, vector_loop_fn loop);

#if defined(__x86_64__)
bool ssse3_supported();
std::size_t decode_chunk_ssse3(decode_state& state, std::span<const unsigned char> in,
                               unsigned char* out);
bool avx2_supported();
std::size_t decode_chunk_avx2(decode_state& state, std::span<const unsigned char> in,
                              unsigned char* out);
bool avx512_supported();
std::size_t decode_chunk_avx512(decode_state& state, std::span<const unsigned char> in,
                                unsigned char* out);
#endif

// All kernels, scalar first, in order of preference from the least to the most capable.
std::span<const decode_kernel> decode_kernels();

}  // namespace quenlo::detail
