// Test support: the reference decoder, the decoding rules as the plainest byte loop.
// Written to be read rather than to be fast: what the decoder's kernels are
// checked against.
#pragma once

#include <string>
#include <string_view>

namespace quenlo_test {

inline int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

inline std::string reference_decode(std::string_view in) {
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '\r' && i + 1 < in.size() && in[i + 1] == '\n') {
            out += "\r\n";
            ++i;
        } else if (c == '&' || c == '\n' || c == '\r') {
            out += "\r\n";
        } else if (c == '+' || c == '\t') {
            out += ' ';
        } else if (c == '%' && i + 2 < in.size() && hex_value(in[i + 1]) >= 0 &&
                   hex_value(in[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(in[i + 1]) * 16 + hex_value(in[i + 2]));
            i += 2;
        } else {
            out += c;  // any other '%' included: what follows is decoded as usual
        }
    }
    return out;
}

}  // namespace quenlo_test
