// The AVX-512 kernel: 64 bytes a step; the rule it follows is in kernel.h,
// its tables come from rule.h. Byte masks, 128-entry byte table lookups
// (VBMI) and byte compress (VBMI2) take the place of block.h's shuffle tables.
#include "kernels/kernel.h"
#include "kernels/rule.h"

#include <immintrin.h>

#include <cstdint>

#define QUENLO_TARGET_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi2,popcnt")))

namespace quenlo::detail {
namespace {

constexpr std::size_t width = 64;

// Constant vectors, built once per call and kept in registers.
struct constants {
    __m512i hex_low, hex_high;  // byte -> hex value, or 0x80 when not a digit: bytes 0-63, 64-127
    __m512i high_nibble, percent, cr, lf, ctrl_z;
    __m512i lo_pairs, hi_pairs;  // bytes 0-31, 32-63, each paired with a "\n" from the other operand
    __m512i first_low, first_high;  // byte -> its first output byte, escapes aside: bytes 0-63, 64-127
};

QUENLO_TARGET_AVX512 inline __m512i repeat(unsigned char c) { return _mm512_set1_epi8(static_cast<char>(c)); }
QUENLO_TARGET_AVX512 inline __m512i load(const unsigned char* p) { return _mm512_loadu_si512(p); }

QUENLO_TARGET_AVX512 inline constants make_constants() {
    // hex values (0-63, 64-127), pairs (low, high), first bytes (0-63, 64-127)
    alignas(64) unsigned char table[6][64] = {};
    static_assert(!rule::special(0x80) && rule::hex[0x80] < 0, "bytes 0x80-0xFF bypass the tables");
    for (unsigned b = 0; b < 128; ++b) {
        table[b / 64][b % 64] = static_cast<unsigned char>(rule::hex[b] >= 0 ? rule::hex[b] : 0x80);
        table[4 + b / 64][b % 64] = rule::first[b];
    }
    for (unsigned k = 0; k < 64; ++k) {  // byte k, then the other operand's LF
        table[2 + k / 32][2 * (k % 32)] = static_cast<unsigned char>(k);
        table[2 + k / 32][2 * (k % 32) + 1] = 64;
    }
    constants c{_mm512_load_si512(table[0]), _mm512_load_si512(table[1]), repeat(0xF0), repeat(rule::escape),
                repeat(rule::cr), repeat(rule::lf), repeat(ctrl_z), _mm512_load_si512(table[2]),
                _mm512_load_si512(table[3]), _mm512_load_si512(table[4]), _mm512_load_si512(table[5])};
    // Opaque to the compiler from here on, so that it keeps them in registers
    // instead of rebuilding them from immediates inside the loop.
    asm("" : "+v"(c.high_nibble), "+v"(c.percent), "+v"(c.cr), "+v"(c.lf));
    return c;
}

// Each byte's first output byte, escapes aside: bytes below 0x80 through the
// table, the others as they are.
QUENLO_TARGET_AVX512 inline __m512i first_bytes(const constants& c, __m512i v) {
    return _mm512_mask2_permutex2var_epi8(c.first_low, v, ~_mm512_movepi8_mask(v), c.first_high);
}

// breaks_common: every block that is not plain takes the path for line
// breaks without asking whether it holds one; crs_common: every such block
// looks for the LF of a CR LF, as it is decoded (a block's masks, when they
// are ready early, do not hold up its writing); escapes_rare: a block is
// asked whether it holds a '%' before its escapes are looked for (text
// dense in line breaks but without escapes: 1.2-1.4× faster so). Where
// breaks and CRs are both common, plain blocks come between the others at
// random, so every block takes that path and none is asked whether it is
// plain. Each is compiled on its own: inlined into one function, the
// variants shared registers badly and the plain one ran 8 % slower on
// Shift_JIS form text. watch: every block is also asked whether it holds a
// Ctrl-Z (the converter's end of text), instead of a memchr over the piece
// before it is decoded.
template <bool watch, bool breaks_common, bool crs_common, bool escapes_rare = false>
QUENLO_TARGET_AVX512 __attribute__((noinline)) vector_stop
avx512_loop_as(const unsigned char* in, std::size_t n, unsigned char* out) {
    const constants c = make_constants();
    constexpr std::uint64_t even = 0x5555555555555555u;
    // A block decoded, CR LF aside, written while the next one is decoded (see block.h).
    struct decoded { __m512i first; std::uint64_t keep, twice; const unsigned char* at; };
    unsigned char* o = out;
    std::uint64_t prev_cr = 0;
    const auto write = [&](decoded d) QUENLO_TARGET_AVX512 {
        if (!breaks_common && d.twice == 0) {  // and so no CR, and no LF to drop
            _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(d.keep, d.first));
            o += _mm_popcnt_u64(d.keep);
            prev_cr = 0;
            return;
        }
        std::uint64_t cr = 0;
        if constexpr (!crs_common) {  // else done as the block was decoded
            const __m512i v = load(d.at);
            cr = _mm512_cmpeq_epi8_mask(v, c.cr);
            if ((cr | prev_cr) != 0) {
                const std::uint64_t lf_after_cr = _mm512_cmpeq_epi8_mask(v, c.lf) & ((cr << 1) | prev_cr);
                d.keep &= ~lf_after_cr;
                d.twice &= ~lf_after_cr;
            }
        }
        // Each byte gets a second slot holding "\n", kept where the byte gives two.
        for (unsigned h = 0; h < width; h += 32) {
            const std::uint64_t slots = _pdep_u64(d.keep >> h, even) | _pdep_u64(d.twice >> h, even << 1);
            const __m512i pairs = _mm512_permutex2var_epi8(d.first, h == 0 ? c.lo_pairs : c.hi_pairs, c.lf);
            _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(slots, pairs));
            o += _mm_popcnt_u64(slots);
        }
        if constexpr (!crs_common) prev_cr = cr >> (width - 1);
    };
    alignas(64) static constexpr unsigned char zeros[width]{};
    const decoded none{_mm512_setzero_si512(), 0, 0, zeros};  // gives nothing
    decoded last = none;
    std::size_t i = 0;
    std::uint64_t carry = 0;  // digits at the start of the block that an escape before it took
    std::uint64_t cr_before = 0;  // crs_common: the block decoded last ended in a CR
    // watch: bytewise, the least (byte ^ Ctrl-Z) of all blocks, 0 where one
    // was: two vector operations a block, where a compare to a mask and an
    // OR into a register took a few percent of the loop's time.
    __m512i ctrl_zs = _mm512_set1_epi8(-1);
    while (i + width + 2 <= n) {  // the two bytes after a block are looked at too
        __m512i v = load(in + i);
        if constexpr (watch) ctrl_zs = _mm512_min_epu8(ctrl_zs, _mm512_xor_si512(v, c.ctrl_z));
        __m512i first = first_bytes(c, v);
        std::uint64_t percent = _mm512_cmpeq_epi8_mask(v, c.percent);
        std::uint64_t brk = _mm512_cmpeq_epi8_mask(first, c.cr);  // '&', CR, LF: their first output is a CR
        if (!(breaks_common && crs_common) && (percent | brk | carry) == 0) {  // one output byte for each byte
            write(last);
            last = none;
            prev_cr = cr_before = 0;
            do {
                _mm512_storeu_si512(o, first);
                o += width;
                i += width;
                if (i + width + 2 > n) break;
                v = load(in + i);
                if constexpr (watch) ctrl_zs = _mm512_min_epu8(ctrl_zs, _mm512_xor_si512(v, c.ctrl_z));
                first = first_bytes(c, v);
                percent = _mm512_cmpeq_epi8_mask(v, c.percent);
                brk = _mm512_cmpeq_epi8_mask(first, c.cr);
            } while ((percent | brk) == 0);
            continue;
        }
        std::uint64_t esc = 0;
        if (!escapes_rare || percent != 0) {
            // The two bytes after each: hex digits (high bit clear in both the
            // byte and its table entry) and their values.
            const __m512i v1 = load(in + i + 1);
            const __m512i v2 = load(in + i + 2);
            const __m512i d1 = _mm512_permutex2var_epi8(c.hex_low, v1, c.hex_high);
            const __m512i d2 = _mm512_permutex2var_epi8(c.hex_low, v2, c.hex_high);
            const std::uint64_t not_hex =
                _mm512_movepi8_mask(_mm512_ternarylogic_epi32(d1, d2, _mm512_or_si512(v1, v2), 0xFE));
            esc = percent & ~not_hex;
            // (d1 << 4) & 0xF0 | d2
            const __m512i value = _mm512_ternarylogic_epi32(_mm512_slli_epi16(d1, 4), c.high_nibble, d2, 0xEA);
            first = _mm512_mask_mov_epi8(first, esc, value);
        }
        const std::uint64_t digits = (esc << 1) | (esc << 2);  // this block's; the carry below
        std::uint64_t keep = ~(digits | carry);
        if constexpr (crs_common) {  // the LF of a CR LF gives nothing
            const std::uint64_t cr = _mm512_cmpeq_epi8_mask(v, c.cr);
            const std::uint64_t lf_after_cr = _mm512_cmpeq_epi8_mask(v, c.lf) & ((cr << 1) | cr_before);
            keep &= ~lf_after_cr;
            brk &= ~lf_after_cr;
            cr_before = cr >> (width - 1);
        }
        write(last);
        last = {first, keep, brk, in + i};
        carry = (esc >> (width - 1)) | (esc >> (width - 2));
        i += width;
    }
    if (last.keep != 0) write(last);
    const std::uint64_t ends_in_cr = crs_common ? cr_before : prev_cr;
    return {i, static_cast<std::size_t>(o - out), carried_digits(carry), ends_in_cr != 0,
            watch && _mm512_test_epi8_mask(ctrl_zs, ctrl_zs) != ~std::uint64_t{0}};
}

// A branch that goes either way at random costs more than the work it
// saves. Which branches go comes from the first 64 blocks of each call:
// where more than one in five hold a line break (ASCII form text: nearly
// all; Shift_JIS form text: a quarter, which with the branch decoded a fifth
// slower; Japanese UTF-8 and textarea text: fewer, and either way alike), or
// more than one in eight a CR (form text: almost none; random bytes: a
// fifth); and, where breaks are common, whether at most two hold a '%'.
template <bool watch>
QUENLO_TARGET_AVX512 vector_stop avx512_loop(const unsigned char* in, std::size_t n, unsigned char* out) {
    const constants c = make_constants();
    unsigned with_break = 0, with_cr = 0, with_percent = 0;
    for (std::size_t i = 0; i + width <= n && i < 64 * width; i += width) {
        const __m512i v = load(in + i);
        with_break += _mm512_cmpeq_epi8_mask(first_bytes(c, v), c.cr) != 0;
        with_cr += _mm512_cmpeq_epi8_mask(v, c.cr) != 0;
        with_percent += _mm512_cmpeq_epi8_mask(v, c.percent) != 0;
    }
    const bool crs_common = with_cr > 8;
    if (with_break > 12 && with_percent <= 2)
        return crs_common ? avx512_loop_as<watch, true, true, true>(in, n, out)
                          : avx512_loop_as<watch, true, false, true>(in, n, out);
    if (with_break > 12)
        return crs_common ? avx512_loop_as<watch, true, true>(in, n, out)
                          : avx512_loop_as<watch, true, false>(in, n, out);
    return crs_common ? avx512_loop_as<watch, false, true>(in, n, out)
                      : avx512_loop_as<watch, false, false>(in, n, out);
}

}  // namespace

bool avx512_supported() {
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("popcnt");
}

std::size_t decode_chunk_avx512(decode_state& state, std::span<const unsigned char> in,
                                unsigned char* out) {
    return decode_chunk_vector(state, in, out, avx512_loop<false>);
}

std::size_t decode_chunk_avx512_watching(decode_state& state, std::span<const unsigned char> in,
                                         unsigned char* out, bool& ctrl_z_seen) {
    return decode_chunk_vector(state, in, out, avx512_loop<true>, &ctrl_z_seen);
}

}  // namespace quenlo::detail
