// One piece of the input: the buffers it is read and decoded in, how it is
// read, decoded and written, and how a pass ends. Both passes are made of
// these steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>

#include <quenlo/decode.h>

#include "convert.h"
#include "fileio.h"

namespace quenlo::detail {

// A piece is read with the bytes before it that decide the decoder's state
// at its start (decode.h's context rule), so that it decodes on its own.
inline constexpr std::size_t lead_size = context_size;

// Pieces and their text start on a cache line, so that the decoder's wide
// loads and stores never straddle two (the lead sits just before the piece).
inline constexpr std::size_t line_size = 64;

// Where one piece is read and its text decoded. From malloc: the C++
// library's nothrow new throws inside and, when even the exception cannot be
// had (memory short from the start), aborts.
struct piece_buffer {
    struct release {
        void operator()(unsigned char* p) const { std::free(p); }
    };
    std::unique_ptr<unsigned char[], release> in_store, out_store;
    unsigned char* in = nullptr;   // lead_size + read_size bytes: the lead, then the piece
    unsigned char* out = nullptr;  // decode_bound(read_size) bytes
};

// Allocates a piece buffer and has the pages of its input part at once, and
// with `take` those of its text too: a system that hands out pages on first
// use (or a memory limit that kills on it) must do so before the output is
// touched, not halfway through the text. The input part is always had, as
// the first read fills most of it: had in one call, 256 KiB and the read
// into them took 0.4 ms here, against 0.7-0.8 ms faulted in by the read.
// Without `input`, the text part alone: where a piece's text waits for its
// turn while its worker reads the next piece into its own input part.
// False, and nothing thrown, when the memory cannot be had.
[[nodiscard]] bool make_piece_buffer(piece_buffer& b, bool take = true, bool input = true);


// One read's worth of the input.
struct piece {
    unsigned char* data = nullptr;  // in a piece buffer, after the lead
    std::size_t got = 0;
    std::size_t read = 0;  // bytes read: `got`, and a Ctrl-Z with what followed it
    bool at_end = false;   // no input follows this piece
    int error = 0;         // reading failed after `got` bytes
    std::uint64_t start = 0;  // where it starts, in bytes from the first byte the pass read
};

// Has the pages for the first piece's text that the one-thread pass will
// use (its input part was had with the buffer): all of them, or, for an
// input that ends with its first piece (`ends_here`), room for that piece's
// text. False when they cannot be had.
[[nodiscard]] bool take_first_pages(const piece_buffer& b, const piece& first, bool ends_here);

// The reads and writes a pass makes: the platform layer's, or a test's that
// fail or stall at chosen places.
struct pass_calls {
    std::function<int(io::file_handle, unsigned char*, std::size_t, std::size_t&)> read_some = io::read_some;
    std::function<int(io::file_handle, std::uint64_t, unsigned char*, std::size_t, std::size_t&)> read_at =
        io::read_at;
    std::function<int(io::file_handle, const unsigned char*, std::size_t)> write_all = io::write_all;
};

// Reads the next piece from where the input stands, the one after `p`, and
// ends it at a Ctrl-Z, unless decode_piece_to_ctrl_z is to (ctrl_z_later).
void read_piece(const pass_calls& calls, io::file_handle in, piece& p, bool ctrl_z_later = false);

// Reads the piece at `offset` with the lead before it into `b`, filling it
// unless the input ends first, and sets `state` to what its lead leaves. It
// does not look for a Ctrl-Z: decode_piece_to_ctrl_z does, as it decodes.
void read_piece_at(const pass_calls& calls, io::file_handle in, std::uint64_t offset, piece_buffer& b,
                   piece& p, decode_state& state);

// Decodes a piece, continuing from `state`, into `text`; returns the count.
std::size_t decode_piece(decode_state& state, const piece& p, unsigned char* text);

// The same for a piece not yet looked through for a Ctrl-Z (read_piece_at,
// or read_piece with ctrl_z_later): where it holds one, the piece ends there
// (as read_piece would have ended it) and is decoded up to it.
std::size_t decode_piece_to_ctrl_z(decode_state& state, piece& p, unsigned char* text);

// How a pass ended; the caller reports it.
struct outcome {
    enum class failure : unsigned char { none, read, write };
    failure failed = failure::none;
    int error = 0;
    // A Ctrl-Z ended the input: where it stands, from the first byte the pass
    // read, and how many bytes after it the same read brought.
    bool ctrl_z = false;
    std::uint64_t ctrl_z_at = 0;
    std::uint64_t read_after = 0;
};

// Writes a piece's decoded text. Returns whether the input goes on; if not,
// says why in `o` (a failure, or the Ctrl-Z that ended it). A read error
// shows after the text read before it.
bool write_piece(const pass_calls& calls, const piece& p, const unsigned char* text, std::size_t n,
                 io::file_handle out, outcome& o);

}  // namespace quenlo::detail
