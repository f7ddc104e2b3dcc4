// The C interface (quenlo/quenlo.h) over the C++ one: it refuses what a C
// caller can get wrong, null pointers and a state never zeroed, before the
// decoder sees it, and copies the state in and out byte by byte, so that the
// C struct's layout never depends on the C++ one's (a bool there, a byte
// here that C code may set to anything).
#include <quenlo/quenlo.h>

#include <cstdint>

#include <quenlo/decode.h>

#include "kernels/kernel.h"
#include "kernels/rule.h"

namespace {

using quenlo::decode_state;

// quenlo_state's bytes: the pending length, the pending hex digit, whether a
// CR came last, then zeros.
constexpr std::size_t pending_len_at = 0, pending_hex_at = 1, after_cr_at = 2, used_bytes = 3;
static_assert(sizeof(quenlo_state) == 8, "quenlo_state's size is part of the ABI");

// The C++ state that `c` holds, or false when no call could have left it.
bool state_from(const quenlo_state& c, decode_state& state) {
    for (std::size_t k = used_bytes; k < sizeof c.internal; ++k)
        if (c.internal[k] != 0) return false;
    const unsigned char len = c.internal[pending_len_at], hex = c.internal[pending_hex_at];
    if (len > 2 || c.internal[after_cr_at] > 1) return false;
    if (len == 2 && quenlo::detail::rule::hex[hex] < 0) return false;
    state.pending_len = len;
    state.pending_hex = hex;
    state.after_cr = c.internal[after_cr_at] != 0;
    return true;
}

void state_to(const decode_state& state, quenlo_state& c) {
    c = quenlo_state{};
    c.internal[pending_len_at] = state.pending_len;
    c.internal[pending_hex_at] = state.pending_hex;
    c.internal[after_cr_at] = state.after_cr ? 1 : 0;
}

}  // namespace

extern "C" {

size_t quenlo_decode_bound(size_t input_size) {
    constexpr size_t largest = (SIZE_MAX - 2) / 2;
    return input_size > largest ? SIZE_MAX : quenlo::decode_bound(input_size);
}

int quenlo_decode(quenlo_state* state, const unsigned char* in, size_t in_size, unsigned char* out,
                  size_t* written) {
    if (written != nullptr) *written = 0;
    if (state == nullptr) return QUENLO_ERROR_NULL_STATE;
    if (written == nullptr) return QUENLO_ERROR_NULL_WRITTEN;
    if (in_size != 0 && (in == nullptr || out == nullptr)) return QUENLO_ERROR_NULL_BUFFER;
    decode_state s;
    if (!state_from(*state, s)) return QUENLO_ERROR_BAD_STATE;
    // No bytes change no state; and the C++ call would want room for two.
    if (in_size == 0) return QUENLO_OK;
    *written = quenlo::decode_form_chunk(s, {in, in_size}, out);
    state_to(s, *state);
    return QUENLO_OK;
}

int quenlo_finish(quenlo_state* state, unsigned char* out, size_t* written) {
    if (written != nullptr) *written = 0;
    if (state == nullptr) return QUENLO_ERROR_NULL_STATE;
    if (written == nullptr) return QUENLO_ERROR_NULL_WRITTEN;
    if (out == nullptr) return QUENLO_ERROR_NULL_BUFFER;
    decode_state s;
    if (!state_from(*state, s)) return QUENLO_ERROR_BAD_STATE;
    *written = quenlo::decode_form_finish(s, out);
    state_to(s, *state);
    return QUENLO_OK;
}

const char* quenlo_kernel() { return quenlo::detail::chosen_kernel().name; }

const char* quenlo_version() { return QUENLO_VERSION; }

}  // extern "C"
