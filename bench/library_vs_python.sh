#!/usr/bin/env bash
# libquenlo called from Python (examples/library/decode.py, through ctypes)
# against Python's own urllib.parse.unquote_plus, on the same corpora
# (make_corpus: form text, Shift_JIS, UTF-8, textarea lines): each corpus
# decoded whole in one call, then line by line, one call per line as a
# program decoding logged form bodies makes them. The two run in turn, round
# after round, so that a busy machine's slow spells fall on both alike
# (library_vs_python.py).
#   bench/library_vs_python.sh [--size SIZE] [--rounds N] [LIBRARY]
# SIZE: bytes per corpus (default 16M; K, M, G are binary). LIBRARY: a
# libquenlo.so.1 to time; by default this tree's, built into
# $QUENLO_BENCH_BUILD (default build-bench-lib). Needs g++, cmake, python3.
# About a minute for the defaults.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size=16M
rounds=5
while [ $# -gt 0 ]; do
    case $1 in
        --size) size=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        -*) sed -n '2,13p' "$0" >&2; exit 2 ;;
        *) break ;;
    esac
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ $# -ge 1 ]; then
    library=$1
else
    build=${QUENLO_BENCH_BUILD:-$root/build-bench-lib}
    cmake -S "$root" -B "$build" -DQUENLO_BUILD_TESTS=OFF -DQUENLO_SHARED=ON >/dev/null
    cmake --build "$build" -j2 --target quenlo_shared >/dev/null
    library=$build/libquenlo.so.1
fi

g++ -std=c++20 -O2 -I"$root/tests" "$root/bench/make_corpus.cpp" -o "$work/make_corpus"
corpora=()
for kind in ascii sjis utf8 textarea; do
    "$work/make_corpus" "$kind" "$size" >"$work/$kind" && corpora+=("$work/$kind")
done
# Freed memory kept by the C library rather than handed back: otherwise a
# result as large as the one just freed lands in fresh pages, each faulted in
# (about 10 us apiece on a VM), call after call or not, as the two sides'
# allocations happen to interleave. Both sides run with it.
MALLOC_MMAP_THRESHOLD_=$((1 << 30)) MALLOC_TRIM_THRESHOLD_=$((1 << 30)) \
    python3 "$root/bench/library_vs_python.py" "$library" "$rounds" "${corpora[@]}"
