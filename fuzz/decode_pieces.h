// Runs one decoder kernel over an input handed over in pieces, the way the
// fuzz target and the exhaustive test both need it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "decode.h"
#include "decode_kernels.h"

namespace quenlo_check {

struct pieces_result {
    std::string out;
    bool within_bound = true;  // no call claimed more output than decode_bound allows
};

// Decodes `in` with `kernel`, handed over in the pieces that `cuts` (ascending
// offsets, at most in.size()) mark, then ends the input. Each piece is copied
// into a buffer of exactly its size, and each call writes into one of exactly
// decode_bound bytes, so a sanitizer sees any access past either.
inline pieces_result decode_pieces(const quenlo::detail::decode_kernel& kernel,
                                   std::string_view in, const std::vector<std::size_t>& cuts) {
    pieces_result r;
    quenlo::decode_state state;
    std::size_t from = 0;
    auto feed = [&](std::size_t to) {
        const std::vector<unsigned char> piece(in.begin() + static_cast<std::ptrdiff_t>(from),
                                               in.begin() + static_cast<std::ptrdiff_t>(to));
        std::vector<unsigned char> out(quenlo::decode_bound(piece.size()));
        const std::size_t n = kernel.run(state, piece, out.data());
        if (n > out.size()) {
            r.within_bound = false;
            return;
        }
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

}  // namespace quenlo_check
