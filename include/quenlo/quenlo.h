/* quenlo: a decoder of HTML form data (application/x-www-form-urlencoded)
   for C and for any language that can call C. A thin layer over the C++
   interface, quenlo/decode.h, which states the rules in full:

     '&', LF, CR and CR LF each become one line break, written CR LF;
     '+' and TAB become a space;
     '%' and two hex digits (either case) become that byte, which is never
     interpreted again; any other '%' is an ordinary byte;
     every other byte, NUL and 0x80-0xFF included, is copied unchanged.

   The input may be handed over in pieces of any size, cut anywhere (inside an
   escape, between CR and LF): the text is the same as for the whole input in
   one call. A call keeps nothing but what `state` holds, so any number of
   states may be decoded at once, from any threads. */
#ifndef QUENLO_QUENLO_H
#define QUENLO_QUENLO_H

#include <stddef.h>

#include <quenlo/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What one call carries into the next: an escape or a CR that ended the
   previous piece. Every byte must be zero before an input's first call
   (quenlo_state state = {0};); quenlo_finish leaves it so again. The bytes
   are the decoder's own: copy the struct as a whole, never change them. */
typedef struct quenlo_state {
    unsigned char internal[8];
} quenlo_state;

/* What the functions return. A call that fails writes nothing, leaves
   `state` as it was and sets *written to 0 (when `written` is not NULL).
   Later versions may add codes: treat any value but QUENLO_OK as failure. */
enum {
    QUENLO_OK = 0,
    QUENLO_ERROR_NULL_STATE = 1,   /* `state` is NULL */
    QUENLO_ERROR_NULL_BUFFER = 2,  /* `in` or `out` is NULL where bytes are to be read or written */
    QUENLO_ERROR_NULL_WRITTEN = 3, /* `written` is NULL */
    QUENLO_ERROR_BAD_STATE = 4     /* `state` holds bytes no call leaves: it was not zeroed first */
};

/* Room that the output of one quenlo_decode call may need: every input byte
   gives at most two bytes, and an escape carried from the previous piece up
   to two more (2 * input_size + 2). SIZE_MAX when that does not fit in a
   size_t: hand such an input over in smaller pieces. */
QUENLO_API size_t quenlo_decode_bound(size_t input_size);

/* Decodes the `in_size` bytes at `in`, continuing from `state`, into `out`,
   which must have room for quenlo_decode_bound(in_size) bytes; sets *written
   to the number of bytes written. An escape or CR at the end of the piece is
   kept in `state` for the next call. `in` and `out` may be NULL when
   `in_size` is 0, which writes nothing and changes nothing. */
QUENLO_API int quenlo_decode(quenlo_state *state, const unsigned char *in, size_t in_size,
                             unsigned char *out, size_t *written);

/* Ends the input: an escape left unfinished ("%" or "%X") is written as it
   stands. Writes at most 2 bytes to `out`, sets *written to their number, and
   zeroes `state` for a next input. */
QUENLO_API int quenlo_finish(quenlo_state *state, unsigned char *out, size_t *written);

/* The kernel that decodes on this CPU, chosen on first use among those the
   library was built with: "avx512", "avx2", "ssse3", "neon" or "scalar". All
   give the same bytes; the name is for logs and benchmarks. */
QUENLO_API const char *quenlo_kernel(void);

/* The library's version, "MAJOR.MINOR.PATCH". */
QUENLO_API const char *quenlo_version(void);

#ifdef __cplusplus
}
#endif

#endif
