// Form-data decoder: application/x-www-form-urlencoded bytes in, text lines out.
// The C++ interface of libquenlo (C++20); quenlo/quenlo.h is the C one.
//
// A resumable state machine: the input may be handed over in pieces of any
// size, split anywhere (inside a %XY escape or between CR and LF), and the
// output is the same as for the whole input in one piece. It knows nothing of
// files or streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <quenlo/export.h>

namespace quenlo {

// What one call carries into the next. Zero-initialise before the first call.
struct decode_state {
    std::uint8_t pending_len = 0;  // 0, 1 ("%" seen) or 2 ("%X" seen, X a hex digit)
    std::uint8_t pending_hex = 0;  // X when pending_len == 2
    bool after_cr = false;         // the last byte was a CR: an LF next is part of its line end
    // Whether two states decode what follows alike: pending_hex counts only
    // while an "%X" waits (otherwise it holds whatever came last).
    friend bool operator==(const decode_state& a, const decode_state& b) {
        return a.pending_len == b.pending_len && a.after_cr == b.after_cr &&
               (a.pending_len != 2 || a.pending_hex == b.pending_hex);
    }
};

// Room the output of one decode_form_chunk call may need: every input byte
// becomes at most two bytes, plus the at most two bytes of a carried escape.
constexpr std::size_t decode_bound(std::size_t input_size) { return 2 * input_size + 2; }

// Decodes `in`, continuing from `state`, into `out`, which must have room for
// decode_bound(in.size()) bytes. Returns the number of bytes written.
//   '&', LF, CR and CR LF each become one line break, CR LF.
//   '+' and TAB become a space.
//   '%' and two hex digits (either case) become that byte; any other '%' is
//   an ordinary byte, and what follows it is decoded as usual.
//   Every other byte, 0x00 and 0x80-0xFF included, is copied unchanged.
QUENLO_API std::size_t decode_form_chunk(decode_state& state, std::span<const unsigned char> in,
                                         unsigned char* out);

// The context rule: the state before any byte of an input depends only on the
// two bytes before it (a '%' or "%X" still waiting for digits, or a CR whose
// LF may follow), never on anything earlier. So an input may be decoded in
// pieces by separate callers, each starting from the state its piece's two
// lead bytes leave, and their texts joined give the text of the whole.
inline constexpr std::size_t context_size = 2;

// The state that decoding an input leaves just after `lead`, the last
// context_size bytes before that point (fewer at the input's start).
QUENLO_API decode_state decode_state_after(std::span<const unsigned char> lead);

// Ends the input: an escape left unfinished ("%" or "%X") is written as it
// stands. Writes at most two bytes to `out` and returns how many; resets `state`.
QUENLO_API std::size_t decode_form_finish(decode_state& state, unsigned char* out);

}  // namespace quenlo
