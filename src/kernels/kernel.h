// The decoder's kernels: the contract every kernel keeps, and the registry.
//
// A kernel is a complete decode_form_chunk (decode.h): for any input, cut
// into pieces anywhere, it gives the bytes the plain rules give, and a call
// writes at most decode_bound(in.size()) bytes. The scalar kernel is the
// state machine itself. Every vector kernel is a vector loop inside
// decode_chunk_vector (vector.cpp): settle_carried finishes what the previous
// call left open, the loop takes whole blocks, the scalar kernel takes the
// tail. The SSSE3, AVX2 and NEON loops are one loop, block.h; the tables of
// every kernel come from rule.h.
//
// The block rule. A vector loop decodes a block of `width` bytes with no
// state but two bits carried from the block before: each byte gives 0, 1 or
// 2 output bytes, decided by the byte and its neighbours
//   - a '%' followed by two hex digits gives the decoded byte, and those two
//     digits give nothing (they are never special, so escapes cannot chain);
//   - an LF right after a CR gives nothing;
//   - '&', CR and any other LF give CR LF ("\r" in the first output slot and
//     "\n" in a second one);
//   - '+' and TAB give a space; every other byte gives itself.
//
// Reads. A block's escapes need the two bytes after it, so a loop takes a
// block only while width + 2 bytes are left; it reads nothing before `in`
// and nothing at or past in + n.
//
// Writes. Each block's output starts where the last one's ended and is at
// most 2 * width bytes; the stores that write it may run past the bytes it
// counts, but never past 2 * width bytes from where it starts. Since each
// byte gives at most two, the block at input offset i starts its output at
// most 2 * i bytes in, and every store stays below out + 2 * n. The scalar
// settling step writes at most two bytes per byte it takes plus the two of a
// carried escape, so the whole call stays inside decode_bound.
//
// The carry. `esc` has bit k set when byte k of the block is a '%' that
// starts an escape (two hex digits follow, read from the next block if need
// be). Its digits are (esc << 1) | (esc << 2): those within the block, and
// those that fall in the next block, the carry: 0, 0b01 (a '%' in the
// second-to-last byte) or 0b11 (a '%' in the last byte), never both since a
// digit is never a '%'. The next block keeps none of the carried bytes.
// When the loop stops, carried_digits(carry) of the bytes after the last
// block, at most two and always inside the input, are digits already
// decoded: vector_stop::skip. The last byte of a block being a CR is the
// other carried bit: an LF at the start of the next block gives nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include <quenlo/decode.h>

namespace quenlo::detail {

using decode_kernel_fn = std::size_t (*)(decode_state&, std::span<const unsigned char>, unsigned char*);

// Ctrl-Z, which ends a file's text where it stands: the converter's rule,
// not the decoder's. Looking for it is a second pass over every piece, so a
// kernel can say, as it decodes, whether the bytes it was given held one.
inline constexpr unsigned char ctrl_z = 0x1A;

// run, and whether `in` held a Ctrl-Z (ctrl_z_seen). The AVX-512 kernel
// notes it block by block; the others look for it first (memchr).
using watching_kernel_fn = std::size_t (*)(decode_state&, std::span<const unsigned char>, unsigned char*,
                                           bool& ctrl_z_seen);

// supported(): whether the running CPU can execute the kernel.
struct decode_kernel {
    const char* name;
    bool (*supported)();
    decode_kernel_fn run;
    watching_kernel_fn run_watching = nullptr;
};

inline bool holds_ctrl_z(std::span<const unsigned char> in) {
    return !in.empty() && std::memchr(in.data(), ctrl_z, in.size()) != nullptr;
}

// A watching kernel for any kernel: memchr first, then run.
template <decode_kernel_fn run>
std::size_t watching_by_search(decode_state& state, std::span<const unsigned char> in, unsigned char* out,
                               bool& ctrl_z_seen) {
    ctrl_z_seen = holds_ctrl_z(in);
    return run(state, in, out);
}

std::size_t decode_chunk_scalar(decode_state& state, std::span<const unsigned char> in,
                                unsigned char* out);

// Input taken and output written by settle_carried.
struct settled { std::size_t in = 0, out = 0; };

// Finishes only what the previous call left open: drops the LF that
// completes a carried CR, and decodes a carried "%" or "%X" with the digits
// it needs. It takes no byte beyond those, even a '%' or CR that would carry
// again, so the rest can go to a vector loop. Unless it took all of `in`,
// `state` carries nothing afterwards.
settled settle_carried(decode_state& state, std::span<const unsigned char> in, unsigned char* out);

// Where a vector loop stopped: input taken, output written, how many bytes
// from there on are escape digits it has already decoded, whether the last
// byte it took was a CR, and (a loop that watches) whether a byte it looked
// at, all inside the input, was a Ctrl-Z.
struct vector_stop { std::size_t in = 0, out = 0; unsigned skip = 0; bool after_cr = false, ctrl_z = false; };

// vector_stop::skip from a loop's carry mask.
constexpr unsigned carried_digits(std::uint64_t carry) { return carry == 0 ? 0u : carry == 1 ? 1u : 2u; }

// What the contract above promises of a loop that was given n bytes.
constexpr bool keeps_contract(const vector_stop& stop, std::size_t n) {
    return stop.in <= n && stop.skip <= 2 && stop.skip <= n - stop.in &&
           stop.out <= 2 * stop.in && !(stop.skip != 0 && stop.after_cr);
}

// Decodes whole blocks from `in` (no state carried in) while the rest is
// long enough, writing at most twice the bytes it takes.
using vector_loop_fn = vector_stop (*)(const unsigned char* in, std::size_t n, unsigned char* out);

// A complete kernel around a vector loop: settle_carried finishes what the
// previous call left open, the loop takes the bulk, the scalar kernel takes
// the tail. With ctrl_z_seen, the loop is one that watches for a Ctrl-Z, and
// the bytes it did not look at are looked through.
std::size_t decode_chunk_vector(decode_state& state, std::span<const unsigned char> in,
                                unsigned char* out, vector_loop_fn loop, bool* ctrl_z_seen = nullptr);

// The kernels. Which of them the build holds is decided by CMake alone
// (QUENLO_KERNELS): it compiles their sources and tells the registry.
bool ssse3_supported();
bool avx2_supported();
bool avx512_supported();
std::size_t decode_chunk_ssse3(decode_state&, std::span<const unsigned char>, unsigned char*);
std::size_t decode_chunk_avx2(decode_state&, std::span<const unsigned char>, unsigned char*);
std::size_t decode_chunk_avx512(decode_state&, std::span<const unsigned char>, unsigned char*);
std::size_t decode_chunk_avx512_watching(decode_state&, std::span<const unsigned char>, unsigned char*, bool&);
std::size_t decode_chunk_neon(decode_state&, std::span<const unsigned char>, unsigned char*);

// The kernels the build compiled in (QUENLO_KERNELS), scalar first, in order
// of preference from the least to the most capable.
std::span<const decode_kernel> decode_kernels();

// The kernel decode_form_chunk uses: the most capable one the CPU supports.
const decode_kernel& chosen_kernel();

}  // namespace quenlo::detail

// Code between these is compiled for the named x86 features (the way to
// compile the shared block loop, a template, for one ISA).
#define QUENLO_STRINGIFY(x) #x
#if defined(__clang__)
#define QUENLO_TARGET_REGION(t) \
    _Pragma(QUENLO_STRINGIFY(clang attribute push(__attribute__((target(t))), apply_to = function)))
#define QUENLO_END_TARGET_REGION _Pragma("clang attribute pop")
#else
#define QUENLO_TARGET_REGION(t) _Pragma("GCC push_options") _Pragma(QUENLO_STRINGIFY(GCC target(t)))
#define QUENLO_END_TARGET_REGION _Pragma("GCC pop_options")
#endif
