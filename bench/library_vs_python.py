#!/usr/bin/env python3
"""Times libquenlo, called through ctypes (examples/library/decode.py),
against urllib.parse.unquote_plus on the same input: each corpus whole in one
call, then one call per line. Run by bench/library_vs_python.sh:

    library_vs_python.py LIBRARY ROUNDS CORPUS...

unquote_plus does less than the library: it turns '+' into a space and
decodes escapes, but makes no line breaks of '&', CR and LF and leaves TAB
alone. It is given the corpus as text (bytes read as Latin-1, so that every
byte stands for itself, decoded outside the timing), which is how it takes
its input; the library gets the bytes, and its text is copied into a Python
bytes object, which is how a program gets it back. Each figure is the median
of ROUNDS, the two timed in turn; the ratio is the median of the per-round
ratios."""

import os
import pathlib
import statistics
import sys
import time
import urllib.parse

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples" / "library"))
from decode import Decoder, load  # noqa: E402


def timed(f):
    start = time.perf_counter()
    f()
    return time.perf_counter() - start


def main(argv):
    library, rounds, corpora = argv[1], int(argv[2]), argv[3:]
    lib = load(library)
    print(f"libquenlo {lib.quenlo_version().decode()} ({library}), kernel {lib.quenlo_kernel().decode()}; "
          f"Python {sys.version.split()[0]}; {rounds} rounds, medians")
    print("| corpus | MiB | mode | library MB/s | unquote_plus MB/s | library / unquote_plus |")
    print("|---|---|---|---|---|---|")
    for path in corpora:
        data = pathlib.Path(path).read_bytes()
        text = data.decode("latin-1")
        lines, text_lines = data.split(b"\n"), text.split("\n")
        decoder = Decoder(lib)

        def library_whole():
            decoder.decode(data)
            decoder.finish()

        def library_lines():
            for line in lines:
                decoder.decode(line)
                decoder.finish()

        def python_whole():
            urllib.parse.unquote_plus(text, encoding="latin-1")

        def python_lines():
            for line in text_lines:
                urllib.parse.unquote_plus(line, encoding="latin-1")

        for mode, ours, theirs in (("whole", library_whole, python_whole),
                                   (f"{len(lines)} lines", library_lines, python_lines)):
            ours()  # the first call chooses the kernel and makes the output buffer
            theirs()
            times = [(timed(ours), timed(theirs)) for _ in range(rounds)]
            mb = len(data) / 1e6
            lib_rate = mb / statistics.median(t[0] for t in times)
            py_rate = mb / statistics.median(t[1] for t in times)
            ratio = statistics.median(t[1] / t[0] for t in times)
            shown = f"{ratio:.1f}" if ratio < 10 else f"{ratio:.0f}"
            print(f"| {os.path.basename(path)} | {len(data) / 2**20:.0f} | {mode} | {lib_rate:.0f} | {py_rate:.1f} "
                  f"| {shown}× |")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
