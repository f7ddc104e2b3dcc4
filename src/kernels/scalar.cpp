// The scalar kernel: the decoder's state machine, one byte at a time.
// Runs of plain bytes are copied whole. Every other kernel leaves the
// carried state and the tail of the input to it.
#include "decode.h"
#include "kernels/kernel.h"

#include <array>
#include <cstring>
#include <string_view>

namespace quenlo {
namespace {

// Value of each byte as a hex digit, or -1.
constexpr std::array<std::int8_t, 256> hex_table = [] {
    std::array<std::int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (std::size_t c = 0; c < 10; ++c) t['0' + c] = static_cast<std::int8_t>(c);
    for (std::size_t c = 0; c < 6; ++c) {
        t['A' + c] = static_cast<std::int8_t>(10 + c);
        t['a' + c] = static_cast<std::int8_t>(10 + c);
    }
    return t;
}();

// The bytes that are not copied as they stand.
constexpr std::array<bool, 256> special_table = [] {
    std::array<bool, 256> t{};
    for (char c : std::string_view("\r\n&+\t%")) t[static_cast<unsigned char>(c)] = true;
    return t;
}();

constexpr bool is_hex(unsigned char c) { return hex_table[c] >= 0; }

constexpr unsigned char hex_pair(unsigned char hi, unsigned char lo) {
    return static_cast<unsigned char>(hex_table[hi] * 16 + hex_table[lo]);
}

}  // namespace

std::size_t detail::decode_chunk_scalar(decode_state& state, std::span<const unsigned char> in,
                                        unsigned char* out) {
    const unsigned char* p = in.data();
    const std::size_t n = in.size();
    std::size_t i = 0;
    std::size_t o = 0;
    if (n == 0) return 0;

    // Finish what the previous call left open.
    if (state.after_cr) {
        state.after_cr = false;
        if (p[0] == '\n') i = 1;
    }
    if (state.pending_len == 1) {
        if (i == n) return o;
        if (is_hex(p[i])) {
            state.pending_len = 2;
            state.pending_hex = p[i++];
        } else {
            out[o++] = '%';
            state.pending_len = 0;
        }
    }
    if (state.pending_len == 2) {
        if (i == n) return o;
        if (is_hex(p[i])) {
            out[o++] = hex_pair(state.pending_hex, p[i++]);
        } else {
            out[o++] = '%';
            out[o++] = state.pending_hex;
        }
        state.pending_len = 0;
    }

    while (i < n) {
        std::size_t run = i;
        while (run < n && !special_table[p[run]]) ++run;
        if (run != i) {
            std::memcpy(out + o, p + i, run - i);
            o += run - i;
            i = run;
            if (i == n) break;
        }
        switch (p[i]) {
        case '\r':
            out[o++] = '\r';
            out[o++] = '\n';
            if (++i == n) {
                state.after_cr = true;
            } else if (p[i] == '\n') {
                ++i;
            }
            break;
        case '\n':
        case '&':
            out[o++] = '\r';
            out[o++] = '\n';
            ++i;
            break;
        case '+':
        case '\t':
            out[o++] = ' ';
            ++i;
            break;
        default:  // '%'
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
            break;
        }
    }
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
