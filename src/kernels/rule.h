// The decoding rule, described once, and every table the kernels look up,
// derived from it at compile time: the scalar kernel's byte tables, the
// vector kernels' nibble tables, hex digits and shuffle tables, and the
// AVX-512 kernel's byte tables. Change the rule here and every kernel follows.
#pragma once

#include <array>
#include <cstdint>

namespace quenlo::detail::rule {

constexpr unsigned char escape = '%';
constexpr unsigned char cr = '\r';
constexpr unsigned char lf = '\n';
constexpr unsigned char line_break[] = {cr, lf};  // what '&', CR and LF give
constexpr unsigned char to_break[] = {'&', cr, lf};
constexpr unsigned char to_space[] = {'+', '\t'};

// Value of each byte as a hex digit, or -1.
inline constexpr std::array<std::int8_t, 256> hex = [] {
    std::array<std::int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (std::size_t c = 0; c < 10; ++c) t['0' + c] = static_cast<std::int8_t>(c);
    for (std::size_t c = 0; c < 6; ++c) {
        t['A' + c] = static_cast<std::int8_t>(10 + c);
        t['a' + c] = static_cast<std::int8_t>(10 + c);
    }
    return t;
}();

// Each byte's first output byte, escapes aside; a line break's second is LF.
inline constexpr std::array<unsigned char, 256> first = [] {
    std::array<unsigned char, 256> t{};
    for (std::size_t c = 0; c < 256; ++c) t[c] = static_cast<unsigned char>(c);
    for (unsigned char c : to_space) t[c] = ' ';
    for (unsigned char c : to_break) t[c] = line_break[0];
    return t;
}();

constexpr bool gives_two(unsigned char c) { return first[c] == line_break[0]; }  // nothing else gives a CR

// A byte the vector kernels cannot copy as it stands.
constexpr bool special(unsigned char c) { return c == escape || first[c] != c || gives_two(c); }

// --- Nibble tables for 16-entry byte shuffles (pshufb, tbl) -------------------

// Low nibble to the one special byte with that low nibble; entries with none
// hold a byte of another nibble, so that no byte matches them.
inline constexpr std::array<unsigned char, 16> special_by_low_nibble = [] {
    std::array<unsigned char, 16> t{};
    for (unsigned l = 0; l < 16; ++l) t[l] = static_cast<unsigned char>(l == 0 ? 1 : 0);
    for (unsigned c = 0; c < 256; ++c)
        if (special(static_cast<unsigned char>(c))) t[c & 15u] = static_cast<unsigned char>(c);
    return t;
}();
// One lookup and one compare find every special byte only if no two share a low nibble.
static_assert([] {
    for (unsigned c = 0; c < 256; ++c)
        if (special(static_cast<unsigned char>(c)) != (special_by_low_nibble[c & 15u] == c)) return false;
    return true;
}());

// Low nibble to what the special byte with that nibble is XORed with to give
// its first output byte.
inline constexpr std::array<unsigned char, 16> change_by_low_nibble = [] {
    std::array<unsigned char, 16> t{};
    for (unsigned l = 0; l < 16; ++l) {
        const unsigned char c = special_by_low_nibble[l];
        if (special(c)) t[l] = static_cast<unsigned char>(c ^ first[c]);
    }
    return t;
}();

// Hex digits by nibbles: a byte is a digit when hex_low_class[low nibble] and
// hex_high_class[high nibble] share a bit (one bit per set of low nibbles that
// are digits under one high nibble), and its value is its low nibble plus
// hex_high_add[high nibble].
struct hex_nibble_tables {
    std::array<unsigned char, 16> low_class{}, high_class{}, high_add{};
};
inline constexpr hex_nibble_tables hex_nibbles = [] {
    hex_nibble_tables t;
    unsigned sets[16] = {};
    unsigned count = 0;
    for (unsigned h = 0; h < 16; ++h) {
        unsigned set = 0;
        for (unsigned l = 0; l < 16; ++l)
            if (hex[h * 16 + l] >= 0) {
                set |= 1u << l;
                t.high_add[h] = static_cast<unsigned char>(hex[h * 16 + l] - static_cast<int>(l));
            }
        if (set == 0) continue;
        unsigned k = 0;
        while (k < count && sets[k] != set) ++k;
        if (k == count) sets[count++] = set;
        t.high_class[h] = static_cast<unsigned char>(1u << k);
        for (unsigned l = 0; l < 16; ++l)
            if ((set >> l) & 1u) t.low_class[l] = static_cast<unsigned char>(t.low_class[l] | (1u << k));
    }
    return t;
}();
static_assert([] {
    const auto& t = hex_nibbles;
    for (unsigned c = 0; c < 256; ++c) {
        const bool digit = (t.low_class[c & 15u] & t.high_class[c >> 4]) != 0;
        if (digit != (hex[c] >= 0)) return false;
        if (digit && ((c & 15u) + t.high_add[c >> 4]) != static_cast<unsigned>(hex[c])) return false;
    }
    return true;
}());

// --- Shuffle tables for writing a block's output ------------------------------

// For each 8-bit keep mask, the byte indices that gather the kept bytes of
// eight to the front, as a byte shuffle wants them (`high`: for the upper
// eight of sixteen, each index 8 more), and how many there are.
struct compact_tables {
    std::array<std::uint64_t, 256> low, high;
    std::array<std::uint8_t, 256> count;
};
inline constexpr compact_tables compact = [] {
    compact_tables t{};
    for (unsigned m = 0; m < 256; ++m) {
        for (unsigned b = 0; b < 8; ++b)
            if ((m >> b) & 1u) t.low[m] |= std::uint64_t{b} << (8 * t.count[m]++);
        t.high[m] = t.low[m] + 0x0808080808080808u;
    }
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
// For each pattern, the shuffle indices that spread 8 bytes (source bytes
// 0-7) and LF (source byte 8) into the output, and the output's length; the
// two apart, so that an entry's indices sit one shift from its number. The
// tables are 110 KB, but form text mostly uses the 256 entries where every
// byte gives output (4 KB): they measured faster than compacting each byte
// and an LF slot with the 2 KB compaction table.
struct expand_tables {
    std::array<std::array<std::uint8_t, 16>, 6561> index;
    std::array<std::uint8_t, 6561> length;
};
inline constexpr expand_tables expand = [] {
    expand_tables t{};
    for (unsigned p = 0; p < 6561; ++p) {
        unsigned k = 0;
        for (unsigned b = 0, rest = p; b < 8; ++b, rest /= 3) {
            if (rest % 3 >= 1) t.index[p][k++] = static_cast<std::uint8_t>(b);
            if (rest % 3 == 2) t.index[p][k++] = 8;
        }
        t.length[p] = static_cast<std::uint8_t>(k);
    }
    return t;
}();

}  // namespace quenlo::detail::rule
