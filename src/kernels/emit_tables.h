// Shuffle tables for writing a block's output, shared by the x86 and ARM kernels.
// They turn masks of which bytes of eight to keep, and which of those give
// two bytes, into byte shuffle indices and output lengths.
#pragma once

#include <array>
#include <cstdint>

namespace quenlo::detail {

// For each 8-bit keep mask, the byte indices that gather the kept bytes of
// eight to the front, as a byte shuffle (pshufb, tbl) wants them.
inline constexpr std::array<std::uint64_t, 256> compact_table = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned m = 0; m < 256; ++m) {
        unsigned k = 0;
        for (unsigned b = 0; b < 8; ++b)
            if ((m >> b) & 1u) t[m] |= std::uint64_t{b} << (8 * k++);
    }
    return t;
}();

// Kept bytes per 8-bit keep mask (SSSE3 machines may lack popcnt).
inline constexpr std::array<std::uint8_t, 256> count_table = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned m = 0; m < 256; ++m)
        for (unsigned b = 0; b < 8; ++b) t[m] = static_cast<std::uint8_t>(t[m] + ((m >> b) & 1u));
    return t;
}();

// Each of 8 bytes gives 0, 1 or 2 output bytes; the 3^8 patterns are numbered
// in base 3 (byte b's count times 3^b). base3[m] numbers the pattern of the
// bits of m, so keep and twice masks (twice within keep) add up to a number.
inline constexpr std::array<std::uint16_t, 256> base3 = [] {
    std::array<std::uint16_t, 256> t{};
    for (unsigned m = 0; m < 256; ++m)
        for (unsigned b = 0, power = 1; b < 8; ++b, power *= 3)
            if ((m >> b) & 1u) t[m] = static_cast<std::uint16_t>(t[m] + power);
    return t;
}();

constexpr unsigned patterns = 6561;  // 3^8

// For each pattern, the shuffle indices that spread 8 bytes (source bytes 0-7)
// and "\n" (source byte 8) into the output, and the output's length.
struct expand_entry {
    std::array<std::uint8_t, 16> index;
    std::uint8_t length;
};
inline constexpr std::array<expand_entry, patterns> expand_table = [] {
    std::array<expand_entry, patterns> t{};
    for (unsigned p = 0; p < patterns; ++p) {
        unsigned k = 0;
        for (unsigned b = 0, rest = p; b < 8; ++b, rest /= 3) {
            if (rest % 3 >= 1) t[p].index[k++] = static_cast<std::uint8_t>(b);
            if (rest % 3 == 2) t[p].index[k++] = 8;
        }
        t[p].length = static_cast<std::uint8_t>(k);
    }
    return t;
}();

}  // namespace quenlo::detail
