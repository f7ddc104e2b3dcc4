// Test support: decodes an input handed over in pieces, with any one kernel.
// The unit tests, the exhaustive test and the fuzz target all need it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <quenlo/decode.h>
#include "kernels/kernel.h"

namespace quenlo_test {

struct pieces_result {
    std::string out;
    bool within_bound = true;  // no call wrote or claimed more than decode_bound allows
};

// Decodes `in` with `kernel`, handed over in the pieces that `cuts` (ascending
// offsets, at most in.size()) mark, then ends the input. Each piece is copied
// into a buffer of exactly its size, so a sanitizer sees any read past it;
// each call's output buffer has decode_bound bytes and then guard bytes, so a
// write past the bound shows even without one.
inline pieces_result decode_pieces(const quenlo::detail::decode_kernel& kernel,
                                   std::string_view in, const std::vector<std::size_t>& cuts) {
    constexpr unsigned char guard = 0xA5;
    constexpr std::size_t guard_size = 128;
    pieces_result r;
    quenlo::decode_state state;
    std::size_t from = 0;
    auto feed = [&](std::size_t to) {
        const std::vector<unsigned char> piece(in.begin() + static_cast<std::ptrdiff_t>(from),
                                               in.begin() + static_cast<std::ptrdiff_t>(to));
        const std::size_t bound = quenlo::decode_bound(piece.size());
        std::vector<unsigned char> out(bound + guard_size, guard);
        const std::size_t n = kernel.run(state, piece, out.data());
        for (std::size_t k = bound; k < out.size(); ++k)
            if (out[k] != guard) r.within_bound = false;
        if (n > bound) r.within_bound = false;
        if (!r.within_bound) return;
        r.out.append(reinterpret_cast<const char*>(out.data()), n);
        from = to;
    };
    for (std::size_t cut : cuts)
        if (r.within_bound) feed(cut);
    if (r.within_bound) feed(in.size());
    std::vector<unsigned char> tail(2);
    r.out.append(reinterpret_cast<const char*>(tail.data()),
                 quenlo::decode_form_finish(state, tail.data()));
    return r;
}

}  // namespace quenlo_test
