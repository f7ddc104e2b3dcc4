#!/usr/bin/env bash
# The decoder kernels of two source trees (or more) side by side: each tree's
# x86 kernels built as a shared library, all loaded into one process, which
# decodes each corpus with each in turn, round after round (kernel_ab.cpp).
# On a shared machine, whose speed drifts by tens of percent from one minute
# to the next, that pairs every figure with its counterpart taken a moment
# apart; separate benchmark runs cannot. Checks first that every build gives
# the same bytes.
#   bench/kernel_ab.sh [--rounds N] [--kernels "ssse3 avx2"] [--adversarial] OLD_TREE [TREE...]
# TREE defaults to this one; a tree is a checkout (git worktree add /tmp/old
# COMMIT). Typical corpora are 64 MiB, adversarial ones 16 MiB: a corpus
# decoded over and over is partly learnt by the processor's branch
# predictors (here, 4 MiB of Shift_JIS form text ran 1.4 times as fast as
# text never seen before), and so would favour branches over work done
# without them. Needs g++ (Debian 12). A few minutes for the defaults.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=100
kernels="ssse3 avx2"
adversarial=false
while [ $# -gt 0 ]; do
    case $1 in
        --rounds) rounds=$2; shift 2 ;;
        --kernels) kernels=$2; shift 2 ;;
        --adversarial) adversarial=true; shift ;;
        *) break ;;
    esac
done
[ $# -ge 1 ] || { sed -n '2,16p' "$0" >&2; exit 2; }
trees=("$@")
[ $# -ge 2 ] || trees+=("$root")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

g++ -std=c++20 -O2 -I"$root/tests" "$root/bench/make_corpus.cpp" -o "$work/make_corpus"
g++ -std=c++20 -O2 -I"$root/src" -I"$root/include" "$root/bench/kernel_ab.cpp" -o "$work/kernel_ab" -ldl
corpora=()
for kind in ascii sjis utf8 textarea; do
    "$work/make_corpus" "$kind" 64M >"$work/$kind" && corpora+=("$work/$kind")
done
if $adversarial; then
    for kind in $("$work/make_corpus" --adversarial); do
        "$work/make_corpus" "$kind" 16M >"$work/$kind" && corpora+=("$work/$kind")
    done
fi

# Each tree's kernels as the Release build compiles them; the names say which.
libraries=()
n=0
for tree in "${trees[@]}"; do
    n=$((n + 1))
    name=$(git -C "$tree" rev-parse --short HEAD 2>/dev/null || basename "$tree")
    library="$work/$n-$name.so"
    sources=()
    for f in "$tree"/src/kernels/*.cpp "$tree"/src/decode.cpp; do
        [[ -f $f && $f != */neon.cpp ]] && sources+=("$f")
    done
    # Loops aligned as the CMake build aligns them, whatever the tree's own build did.
    g++ -std=c++20 -O3 -DNDEBUG -falign-loops=32 -fPIC -shared -fno-gnu-unique -Wl,-Bsymbolic -I"$tree/src" -I"$tree/include" \
        -DQUENLO_WITH_SSSE3=1 -DQUENLO_WITH_AVX2=1 -DQUENLO_WITH_AVX512=1 \
        "${sources[@]}" -o "$library"
    libraries+=("$library")
done

for kernel in $kernels; do
    "$work/kernel_ab" "$kernel" "$rounds" "${corpora[@]}" -- "${libraries[@]}"
done
