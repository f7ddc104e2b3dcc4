// The block loop of the SSSE3, AVX2 and NEON kernels, written once over a
// handful of primitives that each of them supplies (struct V below); it
// follows the block rule in kernel.h, with the tables of rule.h. An ISA's
// source file includes this inside its target region, so that the loop is
// compiled for that ISA. A block is 32 bytes: one AVX2 vector, or two 16-byte
// vectors joined by pair<V> (SSSE3, NEON).
//
// V supplies: vec (one block) and vec16 (16 bytes); load, store,
// repeat(byte), table(16 bytes in every 16-byte lane), lookup(table,
// nibbles), low_nibbles, high_nibbles, eq, add, and_, or_, xor_, andnot(a, b)
// (a and not b), select(a, b, take_b), hex_pair(hi, lo) ((hi << 4) | lo, hi
// below 16), bits (byte k of a compare to bit k), any (not zero when a
// compare has a byte set), group(v, k) (bytes 16k to 16k + 15), shuffle16(v,
// lo, hi) (a byte shuffle whose indices are the bytes of lo and then hi),
// shuffle16i (indices from memory), half_with(v, h, w) (bytes 8h to 8h + 7 of
// v, then bytes 0-7 of w), store16, store_low8 / store_high8; and where it is
// cheaper than a second load, shift_in(v, byte) (v one byte on, `byte` last),
// and shift_in_everywhere (false: only in the loop where escapes are common);
// where it pays, pin(v) (v opaque from there on: kept, not rebuilt).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/kernel.h"
#include "kernels/rule.h"

namespace quenlo::detail {

// Writes the bytes of `slots` whose bit is set in `mask` (16 bits) to `out`,
// in order; stores 16 bytes whatever the count.
template <class V>
inline unsigned char* compact16(typename V::vec16 slots, unsigned mask, unsigned char* out) {
    const unsigned lo = mask & 0xFFu, hi = mask >> 8;
    const auto packed = V::shuffle16(slots, rule::compact.low[lo], rule::compact.high[hi]);
    V::store_low8(out, packed);
    out += rule::compact.count[lo];
    V::store_high8(out, packed);
    return out + rule::compact.count[hi];
}

// Writes the output of 16 bytes whose first output bytes are `first`: `keep`
// says which give output, `twice` which of them give an LF after it. One
// shuffle for each 8 bytes, and no branch; stores up to 32 bytes.
template <class V>
inline unsigned char* expand16(typename V::vec16 first, unsigned keep, unsigned twice, unsigned char* out) {
    const auto lf = V::group(V::repeat(rule::lf), 0);
    for (std::size_t h = 0; h < 2; ++h) {
        const unsigned e = rule::base3[(keep >> (8 * h)) & 0xFFu] + rule::base3[(twice >> (8 * h)) & 0xFFu];
        V::store16(out, V::shuffle16i(V::half_with(first, h, lf), rule::expand.index[e].data()));
        out += rule::expand.length[e];
    }
    return out;
}

// hex_pair may shift in 16-bit lanes, carrying the high bits of a byte's
// first digit into the next byte. That byte's result is used only where it
// starts an escape, and then the byte before it is the '%' itself, whose
// value, as read by hex_value, needs no more than four bits.
static_assert((rule::escape & 15u) + rule::hex_nibbles.high_add[rule::escape >> 4] < 16);

// Two 16-byte vectors as one 32-byte block, for ISAs whose vectors are 16
// bytes: the work of a block that is not done per byte (its masks, branches
// and carry) then comes once per 32 bytes. V supplies the primitives above
// for 16 bytes, bits2(a, b) (both masks at once) for bits, and next(v, w) (v
// one byte on, w's first byte last).
template <class V>
struct pair : V {
    static_assert(V::width == 16);
    using half = typename V::vec;
    struct vec { half a, b; };
    static constexpr std::size_t width = 32;

    template <class F, class... T> static vec each(F f, T... x) { return {f(x.a...), f(x.b...)}; }

    static vec load(const unsigned char* p) { return {V::load(p), V::load(p + 16)}; }
    static void store(unsigned char* p, vec v) { V::store(p, v.a); V::store(p + 16, v.b); }
    static vec repeat(unsigned char c) { return {V::repeat(c), V::repeat(c)}; }
    static vec table(const std::array<unsigned char, 16>& t) { return {V::table(t), V::table(t)}; }
    static vec lookup(vec t, vec x) { return each(V::lookup, t, x); }
    static vec low_nibbles(vec v) { return each(V::low_nibbles, v); }
    static vec high_nibbles(vec v) { return each(V::high_nibbles, v); }
    static vec eq(vec x, vec y) { return each(V::eq, x, y); }
    static vec add(vec x, vec y) { return each(V::add, x, y); }
    static vec and_(vec x, vec y) { return each(V::and_, x, y); }
    static vec or_(vec x, vec y) { return each(V::or_, x, y); }
    static vec xor_(vec x, vec y) { return each(V::xor_, x, y); }
    static vec andnot(vec x, vec y) { return each(V::andnot, x, y); }
    static vec hex_pair(vec x, vec y) { return each(V::hex_pair, x, y); }
    static vec select(vec x, vec y, vec take_y) { return each(V::select, x, y, take_y); }
    static unsigned bits(vec v) { return V::bits2(v.a, v.b); }
    static unsigned any(vec v) { return V::any(V::or_(v.a, v.b)); }
    static vec shift_in(vec v, unsigned char last) { return {V::next(v.a, v.b), V::next(v.b, V::repeat(last))}; }
    static constexpr bool shift_in_everywhere = true;
    static half group(vec v, std::size_t k) { return k == 0 ? v.a : v.b; }
};

// All ones where a byte is not a hex digit, zero where it is.
template <class V>
typename V::vec not_hex(typename V::vec d) {
    const auto digit = V::and_(V::lookup(V::table(rule::hex_nibbles.low_class), V::low_nibbles(d)),
                               V::lookup(V::table(rule::hex_nibbles.high_class), V::high_nibbles(d)));
    return V::eq(digit, V::repeat(0));
}

// escapes_common: decode escapes without asking whether the block holds a
// '%'; breaks_common: write every block that is not plain through the expand
// table, which serves any block (see block_loop below). Each is compiled on
// its own: inlined into one function, the four shared registers badly.
template <class V, bool escapes_common, bool breaks_common>
__attribute__((noinline)) vector_stop block_loop_as(const unsigned char* in, std::size_t n, unsigned char* out) {
    using vec = typename V::vec;
    constexpr std::size_t width = V::width;
    static_assert(width == 32, "the masks are 32 bits");
    const vec specials = V::table(rule::special_by_low_nibble);
    const vec changes = V::table(rule::change_by_low_nibble);
    const vec hex_add = V::table(rule::hex_nibbles.high_add);
    // Where escapes and breaks are rare, AVX2 ran out of registers and built
    // these anew for every block, unless told to keep them (V::pin).
    vec escape_v = V::repeat(rule::escape), cr_v = V::repeat(rule::cr);
    if constexpr (!escapes_common && !breaks_common && requires { V::pin(cr_v); }) V::pin(escape_v), V::pin(cr_v);
    // Whether each byte is not a hex digit (all ones) or is (zero); its value when it is.
    const auto hex_value = [&](vec d, vec& not_digit) {
        not_digit = not_hex<V>(d);
        return V::add(V::low_nibbles(d), V::lookup(hex_add, V::high_nibbles(d)));
    };
    // A block decoded, CR LF aside: its first output bytes, which give output
    // (keep), which of those an LF after them (twice), and where it was read.
    struct decoded { vec first; unsigned keep, twice; const unsigned char* at; };
    unsigned char* o = out;
    unsigned prev_cr = 0;  // whether the block written last ended in a CR
    const auto write = [&o, &prev_cr](decoded d) {
        if (!breaks_common && d.twice == 0) {  // and so no CR, and no LF to drop
            for (std::size_t g = 0; g < width / 16; ++g)
                o = compact16<V>(V::group(d.first, g), (d.keep >> (16 * g)) & 0xFFFFu, o);
            prev_cr = 0;
            return;
        }
        // The LF of a CR LF gives nothing; form data has few CRs.
        const vec v = V::load(d.at);
        const vec at_cr = V::eq(v, V::repeat(rule::cr));
        unsigned cr = 0;
        if ((prev_cr | V::any(at_cr)) != 0) {
            cr = V::bits(at_cr);
            const unsigned lf_after_cr = V::bits(V::eq(v, V::repeat(rule::lf))) & ((cr << 1) | prev_cr);
            d.keep &= ~lf_after_cr;
            d.twice &= ~lf_after_cr;
        }
        for (std::size_t g = 0; g < width / 16; ++g)
            o = expand16<V>(V::group(d.first, g), (d.keep >> (16 * g)) & 0xFFFFu, (d.twice >> (16 * g)) & 0xFFFFu, o);
        prev_cr = cr >> (width - 1);
    };
    // A block is written while the next one is decoded: where its stores go
    // depends on its masks, which come late, and the loads after such stores
    // wait for them. `none`, the only block whose keep is 0, gives nothing.
    static constexpr unsigned char zeros[width]{};
    const decoded none{V::repeat(0), 0, 0, zeros};
    decoded last = none;
    const auto flush = [&] {  // before a block that is written as it stands
        write(last);
        last = none;
        prev_cr = 0;
    };
    std::size_t i = 0;
    unsigned carry = 0;  // digits at the start of the block that an escape before it took
    while (i + width + 2 <= n) {  // the two bytes after a block are looked at too
        vec v = V::load(in + i);
        vec low = V::low_nibbles(v);
        vec special = V::eq(V::lookup(specials, low), v);
        if ((carry | V::any(special)) == 0) {  // every byte gives itself
            flush();
            do {
                V::store(o, v);
                o += width;
                i += width;
                if (i + width + 2 > n) break;
                v = V::load(in + i);
                low = V::low_nibbles(v);
                special = V::eq(V::lookup(specials, low), v);
            } while (V::any(special) == 0);
            continue;
        }
        // Each byte's first output byte, escapes aside.
        vec first = V::xor_(v, V::and_(V::lookup(changes, low), special));
        const unsigned breaks = V::bits(V::eq(first, cr_v));  // '&', CR, LF
        const vec percent = V::eq(v, escape_v);
        if (!escapes_common && !breaks_common && (carry | breaks | V::any(percent)) == 0) {  // ... or a space
            if (last.keep != 0) flush();
            V::store(o, first);
            o += width;
            i += width;
            continue;
        }
        // Escapes: a '%' and the two bytes after it digits.
        unsigned esc = 0;
        if (escapes_common || V::any(percent)) {
            vec not_hex1, not_hex2, value2;
            const vec value1 = hex_value(V::load(in + i + 1), not_hex1);
            if constexpr (requires { V::shift_in(value1, 0); } && (escapes_common || V::shift_in_everywhere)) {
                // Second digits are first digits one byte on, the byte after
                // them added at the end: one vector lookup instead of two.
                const auto next = static_cast<unsigned char>(rule::hex[in[i + width + 1]]);  // 0xFF: none
                value2 = V::shift_in(value1, next);
                not_hex2 = V::shift_in(not_hex1, next >= 0x80 ? 0xFF : 0);
            } else {
                value2 = hex_value(V::load(in + i + 2), not_hex2);
            }
            const vec escape = V::andnot(percent, V::or_(not_hex1, not_hex2));
            first = V::select(first, V::hex_pair(value1, value2), escape);
            esc = V::bits(escape);
            // Every '%' stray, where escapes are rare: one byte for each
            // byte, written at once (held back for the next block, as the
            // others are, such blocks decoded 1.15-1.3 times slower).
            if (!escapes_common && !breaks_common && (carry | breaks | esc) == 0) {
                if (last.keep != 0) flush();
                V::store(o, first);
                o += width;
                i += width;
                continue;
            }
        }
        // Escapes start at least three bytes apart, so the bits of their
        // digits, one and two bytes on, are esc times 6: this block's in the
        // low 32 bits, the next block's (the carry) above them.
        const std::uint64_t digits = std::uint64_t{esc} * 6;
        write(last);
        last = {first, ~(static_cast<unsigned>(digits) | carry), breaks, in + i};
        carry = static_cast<unsigned>(digits >> 32);
        i += width;
    }
    if (last.keep != 0) write(last);  // else none
    return {i, static_cast<std::size_t>(o - out), carried_digits(carry), prev_cr != 0};
}

// A branch that goes either way at random costs more than the work it
// saves: the blocks the CPU had begun after it are thrown away. So where a
// case is common the loop stops asking about it. Escapes ('%' and two hex
// digits; stray '%'s take the branches alike each time): where over a quarter
// of the blocks hold one. Line breaks: where over two in five do (ASCII form
// text: three in four; Japanese: one in six, which keeps the branch). Which
// it is comes from the first 64 blocks of each call.
template <class V>
vector_stop block_loop(const unsigned char* in, std::size_t n, unsigned char* out) {
    constexpr std::size_t width = V::width;
    unsigned with_escape = 0, with_break = 0;
    for (std::size_t i = 0; i + width + 2 <= n && i < 64 * width; i += width) {
        const auto v = V::load(in + i);
        const auto stray = V::or_(not_hex<V>(V::load(in + i + 1)), not_hex<V>(V::load(in + i + 2)));
        with_escape += V::any(V::andnot(V::eq(v, V::repeat(rule::escape)), stray)) != 0;
        with_break += V::any(V::or_(V::eq(v, V::repeat(rule::to_break[0])),
                                    V::or_(V::eq(v, V::repeat(rule::cr)), V::eq(v, V::repeat(rule::lf))))) != 0;
    }
    const bool escapes_common = with_escape > 16;
    if (with_break > 25)
        return escapes_common ? block_loop_as<V, true, true>(in, n, out) : block_loop_as<V, false, true>(in, n, out);
    return escapes_common ? block_loop_as<V, true, false>(in, n, out) : block_loop_as<V, false, false>(in, n, out);
}

}  // namespace quenlo::detail
