#!/usr/bin/env bash
# Times the whole quenlo program (file in, /dev/null out, page cache warm)
# against the copy floor, the line-at-a-time baseline and the Python and Perl
# one-liners on the four corpora, then against the floor alone on each
# adversarial corpus (make_corpus --adversarial lists them), and prints
# medians and ratios: the typical corpora, the worst adversarial one beside
# them, then every adversarial one, worst first. The typical corpora are also
# timed through a pipe (cat FILE | quenlo /dev/stdin) against cat FILE | cat.
# A second build with the kernels up to AVX2 alone
# (-DQUENLO_KERNELS="scalar;ssse3;avx2") is timed beside the default one, so
# the ratio to the floor of a program without AVX-512 shows even on a
# machine that has it. The default program also runs under `taskset -c 0`,
# on one processor, beside itself on all of them.
#
#   bench/run.sh [--smoke] [--size SIZE] [--hard-size SIZE] [--rounds N]
#                [--large SIZE] [--only typical|adversarial] [--against BUILD]
#                [--no-one-liners]
#
# --size    bytes per corpus (default 300M; K, M, G suffixes are binary)
# --hard-size  bytes per adversarial corpus (default 100M); each is made,
#           timed and deleted in turn, so they never all take disk at once
# --rounds  rounds of quenlo, floor and baseline side by side (default 5, each
#           one warm-up and 3 timed runs); rounds follow each other, so a
#           change in the machine's load hits all three alike. Python and Perl
#           run 3 times beside quenlo, once: they take seconds.
# --large   input size for the peak-memory check, streamed from the generator
#           (default 4G)
# --only    time one family alone (the peak-memory check still runs)
# --against another version of the program, timed side by side with this
#           one in every run: BUILD/quenlo, and BUILD-avx2/quenlo beside the
#           AVX2-only build (e.g. two builds of an earlier commit), for a
#           before-and-after table
# --no-one-liners  leave out the Python and Perl runs (most of the time)
# --smoke   1M corpora, one run each, 2M memory check: proves the script
#           works, measures nothing
# Builds into $QUENLO_BENCH_BUILD (default build-bench) and, the AVX2-only
# program, into the same name with -avx2 after it; corpora and results go to
# $QUENLO_BENCH_DATA (default build-bench/corpus).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
size=300M hard_size=100M rounds=5 runs=3 slow_runs=3 warmup=1 large=4G only= against= one_liners=yes
usage="usage: bench/run.sh [--smoke] [--size SIZE] [--hard-size SIZE] [--rounds N] [--large SIZE] [--only typical|adversarial] [--against BUILD] [--no-one-liners]"
while [ $# -gt 0 ]; do
    case "$1" in
    --smoke) size=1M hard_size=1M rounds=1 runs=1 slow_runs=1 warmup=0 large=2M ;;
    --size) size=$2; shift ;;
    --hard-size) hard_size=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --large) large=$2; shift ;;
    --only) only=$2; shift ;;
    --against) against=$(cd "$2" && pwd); shift ;;
    --no-one-liners) one_liners=no ;;
    *) echo "$usage" >&2; exit 2 ;;
    esac
    shift
done
case "$only" in ""|typical|adversarial) ;; *) echo "$usage" >&2; exit 2 ;; esac
build=${QUENLO_BENCH_BUILD:-$root/build-bench}
data=${QUENLO_BENCH_DATA:-$build/corpus}
mkdir -p "$data"

# QUENLO_WERROR=ON (as CI sets it) makes every warning an error here too.
werror=()
[ -n "${QUENLO_WERROR:-}" ] && werror=(-DQUENLO_WERROR="$QUENLO_WERROR")
cmake -S "$root" -B "$build" -DQUENLO_BENCH=ON -DQUENLO_BUILD_TESTS=OFF "${werror[@]}" >/dev/null
cmake --build "$build" -j2 >/dev/null
quenlo=$build/quenlo
tools=$build/bench
cmake -S "$root" -B "$build-avx2" -DQUENLO_BUILD_TESTS=OFF -DQUENLO_KERNELS="scalar;ssse3;avx2" "${werror[@]}" >/dev/null
cmake --build "$build-avx2" -j2 --target quenlo >/dev/null
quenlo_avx2=$build-avx2/quenlo

# The one-liners: the same rules line by line ('+' and TAB to a space, '&' to
# a line break before unescaping, so %26 stays data).
python=$(python3 -c 'import sys; print(sys.executable)')
py_code='import sys,urllib.parse as u
w=sys.stdout.buffer.write
for l in sys.stdin.buffer: w(u.unquote_to_bytes(l.rstrip(b"\r\n").replace(b"+",b" ").replace(b"\t",b" ").replace(b"&",b"\r\n"))+b"\r\n")'
pl_code='s/\r?\n\z//; tr/+\t/  /; s/&/\r\n/g; s/%([0-9A-Fa-f]{2})/chr hex $1/ge; $_ .= "\r\n"'
py_cmd="$python -c $(printf %q "$py_code")"
pl_cmd="perl -pe $(printf %q "$pl_code")"

kinds="ascii sjis utf8 textarea"
hard_kinds=$("$tools/make_corpus" --adversarial | tr '\n' ' ')
[ "$only" = adversarial ] && kinds=
[ "$only" = typical ] && hard_kinds=
rm -f "$data"/*.json
for kind in $kinds; do
    file=$data/$kind-$size.txt
    [ -s "$file" ] || "$tools/make_corpus" "$kind" "$size" >"$file"
    # The one-liners must do the same work, or the comparison says nothing:
    # checked on 4M of the same kind.
    check=$data/$kind-check.txt
    [ -s "$check" ] || "$tools/make_corpus" "$kind" 4M >"$check"
    py_same=- pl_same=-
    if [ "$one_liners" = yes ]; then
        "$quenlo" "$check" 2>/dev/null | cmp -s - <(eval "$py_cmd" <"$check") && py_same=yes || py_same=no
        "$quenlo" "$check" 2>/dev/null | cmp -s - <(eval "$pl_cmd" <"$check") && pl_same=yes || pl_same=no
    fi
    echo "$py_same $pl_same" >"$data/$kind-same"

    for round in $(seq "$rounds"); do
        before=()
        [ -n "$against" ] && before=(-n before "$against/quenlo $file" -n before-avx2-only "$against-avx2/quenlo $file"
                                     -n before-one-cpu "taskset -c 0 $against/quenlo $file")
        hyperfine -N --style basic --warmup "$warmup" --runs "$runs" \
            --export-json "$data/$kind-fast-$round.json" \
            -n quenlo "$quenlo $file" -n floor "$tools/copy_floor $file" \
            -n baseline "$tools/line_baseline $file" -n avx2-only "$quenlo_avx2 $file" \
            -n one-cpu "taskset -c 0 $quenlo $file" "${before[@]}" >&2
        # Through a pipe: one thread there, each read is written at once.
        before=()
        [ -n "$against" ] && before=(-n before "cat $file | $against/quenlo /dev/stdin 2>/dev/null >/dev/null")
        hyperfine --shell bash --style basic --warmup "$warmup" --runs "$runs" \
            --export-json "$data/$kind-pipe-$round.json" \
            -n quenlo "cat $file | $quenlo /dev/stdin 2>/dev/null >/dev/null" \
            -n cat "cat $file | cat >/dev/null" "${before[@]}" >&2
    done
    rm -f "$data/$kind-slow.json"
    [ "$one_liners" = no ] ||
        hyperfine --shell bash --style basic --runs "$slow_runs" --export-json "$data/$kind-slow.json" \
            -n quenlo "$quenlo $file" -n python "$py_cmd <$file" -n perl "$pl_cmd <$file" >&2
done

# The adversarial corpora: quenlo (both builds) and the floor only, side by side.
for kind in $hard_kinds; do
    file=$data/hard-$kind-$hard_size.txt
    "$tools/make_corpus" "$kind" "$hard_size" >"$file"
    for round in $(seq "$rounds"); do
        before=()
        [ -n "$against" ] && before=(-n before "$against/quenlo $file" -n before-avx2-only "$against-avx2/quenlo $file")
        hyperfine -N --style basic --warmup "$warmup" --runs "$runs" \
            --export-json "$data/hard-$kind-$round.json" \
            -n quenlo "$quenlo $file" -n floor "$tools/copy_floor $file" \
            -n avx2-only "$quenlo_avx2 $file" "${before[@]}" >&2
    done
    rm -f "$file"
done

# Peak resident memory, small and large input: regular files, so that every
# worker runs; the large one is the small one, a hole, and the small one again.
peak_kib() {
    /usr/bin/time -f '%M' -o "$data/peak" "$quenlo" "$1" >/dev/null 2>&1
    cat "$data/peak"
}
"$tools/make_corpus" textarea 1M >"$data/peak-small.txt"
cp "$data/peak-small.txt" "$data/peak-large.txt"
truncate -s "$large" "$data/peak-large.txt"
cat "$data/peak-small.txt" >>"$data/peak-large.txt"
peak_small=$(peak_kib "$data/peak-small.txt")
peak_large=$(peak_kib "$data/peak-large.txt")
rm -f "$data/peak-small.txt" "$data/peak-large.txt"

python3 - "$data" "$size" "$kinds" "$hard_size" "$hard_kinds" "$rounds" "$peak_small" "$peak_large" "$large" "$against" <<'PY'
import json, statistics, sys
data, size, kinds, hard_size, hard_kinds, rounds, small, large, large_size, against = sys.argv[1:]
def ratio(a, b):  # a smoke run may time a tiny input as zero
    return a / b if b > 0 else float("nan")
def results(path):
    return {r["command"]: r for r in json.load(open(path))["results"]}
def timed(prefix):
    fast = [results(f"{data}/{prefix}-{r}.json") for r in range(1, int(rounds) + 1)]
    def median_ms(name):
        return statistics.median(t for f in fast for t in f[name]["times"]) * 1e3
    def per_round(a, b):
        return statistics.median(ratio(f[a]["median"], f[b]["median"]) for f in fast)
    return median_ms, per_round
hard = []
for k in hard_kinds.split():
    median_ms, per_round = timed(f"hard-{k}")
    hard.append((per_round("quenlo", "floor"), k, median_ms("quenlo"), median_ms("floor"),
                 per_round("avx2-only", "floor"),
                 per_round("before", "floor") if against else None,
                 per_round("before-avx2-only", "floor") if against else None))
hard.sort(reverse=True)
print(f"corpora of {size} (adversarial: {hard_size}), file in, /dev/null out; times are medians in ms;")
print("each ratio is the median of per-round ratios, quenlo and the other program timed side by side;")
print("AVX2-only: the program built with the kernels up to AVX2 alone")
if kinds.split():
    print("| corpus | quenlo | floor | quenlo / floor | AVX2-only / floor | pipe: quenlo / cat | baseline / quenlo | Python / quenlo | Perl / quenlo | one-liners agree |")
    print("|---|---|---|---|---|---|---|---|---|---|")
for k in kinds.split():
    median_ms, per_round = timed(f"{k}-fast")
    _, pipe_round = timed(f"{k}-pipe")
    try:
        slow = results(f"{data}/{k}-slow.json")
    except OSError:  # --no-one-liners
        slow = {n: {"median": float("nan")} for n in ("python", "perl", "quenlo")}
    same = open(f"{data}/{k}-same").read().split()
    print(f"| {k} | {median_ms('quenlo'):.1f} | {median_ms('floor'):.1f} | {per_round('quenlo', 'floor'):.2f}× "
          f"| {per_round('avx2-only', 'floor'):.2f}× | {pipe_round('quenlo', 'cat'):.2f}× "
          f"| {per_round('baseline', 'quenlo'):.1f}× "
          f"| {ratio(slow['python']['median'], slow['quenlo']['median']):.0f}× "
          f"| {ratio(slow['perl']['median'], slow['quenlo']['median']):.0f}× "
          f"| Python {same[0]}, Perl {same[1]} |")
if hard and kinds.split():
    r, k, q, f, a = hard[0][:5]
    print(f"| worst of {len(hard)} adversarial: {k} | {q:.1f} | {f:.1f} | {r:.2f}× | {a:.2f}× | | | | | |")
if kinds.split():
    print()
    print("one processor (taskset -c 0) against all, and ratios to the floor:")
    print("| corpus | quenlo, one processor | quenlo, all | one / all | one-processor / floor |")
    print("|---|---|---|---|---|")
    for k in kinds.split():
        median_ms, per_round = timed(f"{k}-fast")
        print(f"| {k} | {median_ms('one-cpu'):.1f} | {median_ms('quenlo'):.1f} | {per_round('one-cpu', 'quenlo'):.2f}× "
              f"| {per_round('one-cpu', 'floor'):.2f}× |")
if against and kinds.split():
    print()
    print(f"before and after, side by side (before: {against}); each ratio the median of per-round ratios:")
    print("| corpus | after / floor | before / floor | AVX2-only after / floor | AVX2-only before / floor "
          "| one processor: after / before | pipe: after / before |")
    print("|---|---|---|---|---|---|---|")
    for k in kinds.split():
        median_ms, per_round = timed(f"{k}-fast")
        _, pipe_round = timed(f"{k}-pipe")
        print(f"| {k} | {per_round('quenlo', 'floor'):.2f}× | {per_round('before', 'floor'):.2f}× "
              f"| {per_round('avx2-only', 'floor'):.2f}× | {per_round('before-avx2-only', 'floor'):.2f}× "
              f"| {per_round('one-cpu', 'before-one-cpu'):.2f}× | {pipe_round('quenlo', 'before'):.2f}× |")
if hard:
    print()
    extra = " before / floor | AVX2-only before / floor |" if against else ""
    print("| adversarial corpus, worst first | quenlo | floor | quenlo / floor | AVX2-only / floor |" + extra)
    print("|---|---|---|---|---|" + ("---|---|" if against else ""))
    for r, k, q, f, a, b, ba in hard:
        tail = f" {b:.2f}× | {ba:.2f}× |" if against else ""
        print(f"| {k} | {q:.1f} | {f:.1f} | {r:.2f}× | {a:.2f}× |" + tail)
    a, k = max((h[4], h[1]) for h in hard)
    print(f"AVX2-only, worst adversarial corpus: {k}, {a:.2f}× the floor")
print(f"peak resident memory: {int(small)/1024:.1f} MiB for a 1M input, {int(large)/1024:.1f} MiB for {large_size}")
PY
