// The scalar kernel: the decoder's state machine, one byte at a time.
// Runs of plain bytes are copied whole. Every other kernel leaves the
// carried state and the tail of the input to it.
#include <quenlo/decode.h>
#include "kernels/kernel.h"
#include "kernels/rule.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace quenlo {
namespace {

using detail::rule::hex;

// How many bytes each byte gives ('%' aside), indexed by the byte, plus 256
// when the byte before it was a CR: an LF there gives none.
constexpr std::array<unsigned char, 512> length_table = [] {
    std::array<unsigned char, 512> t{};
    for (std::size_t c = 0; c < 256; ++c) {
        t[c] = detail::rule::gives_two(static_cast<unsigned char>(c)) ? 2 : 1;
        t[256 + c] = c == detail::rule::lf ? 0 : t[c];
    }
    return t;
}();

constexpr unsigned char hex_pair(unsigned char hi, unsigned char lo) {
    return static_cast<unsigned char>(hex[hi] * 16 + hex[lo]);
}

// Every special byte is below this one, so eight bytes with none below it
// can be copied as they stand.
constexpr unsigned char below_all_special = [] {
    unsigned char top = 0;
    for (unsigned c = 0; c < 256; ++c)
        if (detail::rule::special(static_cast<unsigned char>(c))) top = static_cast<unsigned char>(c);
    return static_cast<unsigned char>(top + 1);
}();
static_assert(below_all_special < 0x80);

}  // namespace

std::size_t detail::decode_chunk_scalar(decode_state& state, std::span<const unsigned char> in,
                                        unsigned char* out) {
    const unsigned char* p = in.data();
    const std::size_t n = in.size();
    const settled carried = settle_carried(state, in, out);
    std::size_t i = carried.in;
    std::size_t o = carried.out;
    if (i == n) return o;  // the state stays as settle_carried left it, an empty piece's too
    // Stores may run ahead of `o`, never past decode_bound: `o` is at most
    // 2 * i + 2 here and grows by at most two bytes for each byte taken.
    unsigned prev_cr = 0;
    while (i < n) {
        if (i + 8 <= n) {
            // Eight bytes copied as they stand, and kept up to the first
            // byte below below_all_special.
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            std::memcpy(out + o, &w, 8);
            if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
            const std::uint64_t low = (w - 0x0101010101010101u * below_all_special) & ~w & 0x8080808080808080u;
            if (low == 0) {
                i += 8;
                o += 8;
                prev_cr = 0;
                continue;
            }
            if (const auto k = static_cast<std::size_t>(std::countr_zero(low) / 8); k != 0) {
                i += k;
                o += k;
                prev_cr = 0;
            }
        }
        // Then byte by byte while the bytes are low, so that runs of special
        // bytes do not pay for the eight-byte test at each one.
        do {
            const unsigned char c = p[i];
            if (c != detail::rule::escape) {
                // Two bytes stored whatever the length, and the length looked
                // up: breaks between letters cost no mispredicted branch.
                out[o] = detail::rule::first[c];
                out[o + 1] = detail::rule::lf;
                o += length_table[prev_cr * 256 + c];
                prev_cr = c == detail::rule::cr;
                ++i;
                continue;
            }
            prev_cr = 0;
            if (i + 1 == n) {
                state.pending_len = 1;
                return o;
            }
            if (hex[p[i + 1]] < 0) {
                out[o++] = detail::rule::escape;
                ++i;
            } else if (i + 2 == n) {
                state.pending_len = 2;
                state.pending_hex = p[i + 1];
                return o;
            } else if (hex[p[i + 2]] < 0) {
                out[o++] = detail::rule::escape;
                out[o++] = p[i + 1];
                i += 2;
            } else {
                out[o++] = hex_pair(p[i + 1], p[i + 2]);
                i += 3;
            }
        } while (i < n && p[i] < below_all_special);
    }
    state.after_cr = prev_cr != 0;
    return o;
}

}  // namespace quenlo
