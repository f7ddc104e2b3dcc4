#!/usr/bin/env python3
"""Decodes a file of HTML form data with libquenlo, loaded through ctypes: no
module to build, only the shared library (package libquenlo1).

    decode.py FILE [LIBRARY]

writes the decoded text to standard output, the library's version and kernel
to standard error. LIBRARY is the shared library's path, by default
libquenlo.so.1 wherever the dynamic linker finds it.

As a module: Decoder(load()).decode(piece) for each piece of an input, then
.finish(); or decode_bytes(lib, data) for a whole input at once.
"""

import ctypes
import sys


class State(ctypes.Structure):
    """quenlo_state: zeroed when made, as the first call wants it."""
    _fields_ = [("internal", ctypes.c_ubyte * 8)]


def load(path="libquenlo.so.1"):
    """The library, with the C interface's signatures declared."""
    lib = ctypes.CDLL(path)
    size_p = ctypes.POINTER(ctypes.c_size_t)
    lib.quenlo_decode_bound.argtypes = [ctypes.c_size_t]
    lib.quenlo_decode_bound.restype = ctypes.c_size_t
    lib.quenlo_decode.argtypes = [ctypes.POINTER(State), ctypes.c_char_p, ctypes.c_size_t,
                                  ctypes.c_char_p, size_p]
    lib.quenlo_decode.restype = ctypes.c_int
    lib.quenlo_finish.argtypes = [ctypes.POINTER(State), ctypes.c_char_p, size_p]
    lib.quenlo_finish.restype = ctypes.c_int
    lib.quenlo_kernel.restype = ctypes.c_char_p
    lib.quenlo_version.restype = ctypes.c_char_p
    return lib


class Decoder:
    """One input, handed over in pieces of any size, cut anywhere. A call
    through ctypes costs about a microsecond, so the objects every call needs
    are made once, here."""

    def __init__(self, lib):
        self._decode, self._finish, self._bound = lib.quenlo_decode, lib.quenlo_finish, lib.quenlo_decode_bound
        self._state = ctypes.byref(State())
        self._written = ctypes.c_size_t()
        self._written_ref = ctypes.byref(self._written)
        self._fits = -1  # the longest piece whose text the buffer has room for
        self._room_for(4096)

    def _room_for(self, size):
        size = max(size, 2 * self._fits)
        self._out = ctypes.create_string_buffer(self._bound(size))
        self._view = memoryview(self._out)
        self._fits = size

    def _text(self, error, name):
        if error != 0:
            raise RuntimeError(f"{name}: error {error}")
        return bytes(self._view[:self._written.value])

    def decode(self, piece):
        """The text of `piece` (bytes), continuing the input so far."""
        if len(piece) > self._fits:
            self._room_for(len(piece))
        return self._text(self._decode(self._state, piece, len(piece), self._out, self._written_ref),
                          "quenlo_decode")

    def finish(self):
        """The end of the input: an escape cut off there, as it stands. The
        decoder is then ready for a next input."""
        return self._text(self._finish(self._state, self._out, self._written_ref), "quenlo_finish")


def decode_bytes(lib, data):
    """The text of a whole input."""
    d = Decoder(lib)
    return d.decode(data) + d.finish()


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write("usage: decode.py FILE [LIBRARY]\n")
        return 2
    lib = load(*argv[2:])
    sys.stderr.write(f"libquenlo {lib.quenlo_version().decode()}, kernel {lib.quenlo_kernel().decode()}\n")
    decoder = Decoder(lib)
    out = sys.stdout.buffer
    with open(argv[1], "rb") as f:
        # An odd size, so that escapes and CR LF pairs fall across pieces.
        while piece := f.read(65521):
            out.write(decoder.decode(piece))
    out.write(decoder.finish())
    out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
