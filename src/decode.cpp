#include "decode.h"

#include "decode_kernels.h"

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

bool always() { return true; }

constexpr detail::decode_kernel all_kernels[] = {
    {"scalar", always, detail::decode_chunk_scalar},
#if defined(__x86_64__)
    {"ssse3", detail::ssse3_supported, detail::decode_chunk_ssse3},
    {"avx2", detail::avx2_supported, detail::decode_chunk_avx2},
    {"avx512", detail::avx512_supported, detail::decode_chunk_avx512},
#endif
};

}  // namespace

std::span<const detail::decode_kernel> detail::decode_kernels() { return all_kernels; }

std::size_t decode_form_chunk(decode_state& state, std::span<const unsigned char> in,
                              unsigned char* out) {
    // The most capable kernel the running CPU supports, chosen once.
    static const detail::decode_kernel_fn best = [] {
        detail::decode_kernel_fn chosen = detail::decode_chunk_scalar;
        for (const auto& k : detail::decode_kernels())
            if (k.supported()) chosen = k.run;
        return chosen;
    }();
    return best(state, in, out);
}

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
