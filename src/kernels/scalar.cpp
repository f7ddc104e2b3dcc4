// The scalar kernel: the decoder's state machine, one byte at a time.
// Runs of plain bytes are copied whole. Every other kernel leaves the
// carried state and the tail of the input to it.
#include "decode.h"
#include "kernels/kernel.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace quenlo {
namespace {

// Each byte's first output byte ('%' aside); a line break gives CR LF.
constexpr std::array<unsigned char, 256> first_table = [] {
    std::array<unsigned char, 256> t{};
    for (std::size_t c = 0; c < 256; ++c) t[c] = static_cast<unsigned char>(c);
    t['+'] = t['\t'] = ' ';
    t['&'] = t['\r'] = t['\n'] = '\r';
    return t;
}();
// How many bytes each byte gives ('%' aside), indexed by the byte, plus 256
// when the byte before it was a CR: an LF there gives none.
constexpr std::array<unsigned char, 512> length_table = [] {
    std::array<unsigned char, 512> t{};
    for (auto& v : t) v = 1;
    t['&'] = t['\r'] = t['\n'] = 2;
    for (std::size_t c = 0; c < 256; ++c) t[256 + c] = t[c];
    t[256 + '\n'] = 0;
    return t;
}();

using detail::hex_table;

constexpr bool is_hex(unsigned char c) { return hex_table[c] >= 0; }

constexpr unsigned char hex_pair(unsigned char hi, unsigned char lo) {
    return static_cast<unsigned char>(hex_table[hi] * 16 + hex_table[lo]);
}

}  // namespace

detail::settled detail::settle_carried(decode_state& state, std::span<const unsigned char> in,
                                       unsigned char* out) {
    const unsigned char* p = in.data();
    const std::size_t n = in.size();
    std::size_t i = 0;
    std::size_t o = 0;
    if (n == 0) return {0, 0};
    if (state.after_cr) {
        state.after_cr = false;
        if (p[0] == '\n') i = 1;
    }
    if (state.pending_len == 1) {
        if (i == n) return {i, o};
        if (is_hex(p[i])) {
            state.pending_len = 2;
            state.pending_hex = p[i++];
        } else {
            out[o++] = '%';
            state.pending_len = 0;
        }
    }
    if (state.pending_len == 2) {
        if (i == n) return {i, o};
        if (is_hex(p[i])) {
            out[o++] = hex_pair(state.pending_hex, p[i++]);
        } else {
            out[o++] = '%';
            out[o++] = state.pending_hex;
        }
        state.pending_len = 0;
    }
    return {i, o};
}

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
            // byte below ',' (every special byte is one).
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            std::memcpy(out + o, &w, 8);
            if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
            const std::uint64_t low = (w - 0x2C2C2C2C2C2C2C2Cu) & ~w & 0x8080808080808080u;
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
            if (c != '%') {
                // Two bytes stored whatever the length, and the length looked
                // up: breaks between letters cost no mispredicted branch.
                out[o] = first_table[c];
                out[o + 1] = '\n';
                o += length_table[prev_cr * 256 + c];
                prev_cr = c == '\r';
                ++i;
                continue;
            }
            prev_cr = 0;
            if (i + 1 == n) {
                state.pending_len = 1;
                return o;
            }
            if (!is_hex(p[i + 1])) {
                out[o++] = '%';
                ++i;
            } else if (i + 2 == n) {
                state.pending_len = 2;
                state.pending_hex = p[i + 1];
                return o;
            } else if (!is_hex(p[i + 2])) {
                out[o++] = '%';
                out[o++] = p[i + 1];
                i += 2;
            } else {
                out[o++] = hex_pair(p[i + 1], p[i + 2]);
                i += 3;
            }
        } while (i < n && p[i] < ',');
    }
    state.after_cr = prev_cr != 0;
    return o;
}

std::size_t decode_form_finish(decode_state& state, unsigned char* out) {
    std::size_t o = 0;
    if (state.pending_len >= 1) out[o++] = '%';
    if (state.pending_len == 2) out[o++] = state.pending_hex;
    state = decode_state{};
    return o;
}

}  // namespace quenlo
