#!/usr/bin/env bash
# Peak resident memory of quenlo for a 1 MB input and for a sparse input over
# 4 GiB, side by side: streaming means the second is no larger than the first.
# Both are regular files, decoded by one worker per usable processor; the
# last row is the one-thread pass, the input through a pipe.
# Needs GNU time (/usr/bin/time, Debian package "time").
#   bench/peak_memory.sh [QUENLO]     (default: build/quenlo)
set -euo pipefail
exe=$(realpath "${1:-build/quenlo}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 1 MB of form data; the big input is the same data, then a hole of zero
# bytes (copied as data) to past 4 GiB, then the form data once more.
head -c 1048576 < <(yes 'name=%E5%B1%B1+x&city=%e6%9d%b1%E4%BA%AC') >"$work/small"  # not a pipe: yes ends by SIGPIPE
cp "$work/small" "$work/big"
truncate -s $((4 * 1024 * 1024 * 1024 + 100 * 1024 * 1024)) "$work/big"
cat "$work/small" >>"$work/big"
# The worst case for the output buffer: every byte decodes to two.
head -c 1048576 /dev/zero | tr '\0' '&' >"$work/amp"

peak_kb() {  # peak_kb LABEL INPUT [SIZE]: runs quenlo INPUT | wc -c, prints one row
    local out bytes
    bytes=$( { /usr/bin/time -v -o "$work/time" "$exe" "$2" 2>/dev/null; } | wc -c)
    out=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
    local secs
    secs=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time")
    printf '%-8s input %13d bytes  output %13d bytes  peak RSS %7d KiB  wall %s\n' \
        "$1" "${3:-$(stat -c %s "$2")}" "$bytes" "$out" "$secs"
    echo "$out" >"$work/peak-$1"
}

echo "quenlo INPUT | wc -c, measured with /usr/bin/time -v"
peak_kb 1MB "$work/small"
peak_kb '>4GiB' "$work/big"
peak_kb '&-only' "$work/amp"
mkfifo "$work/pipe"
cat "$work/amp" >"$work/pipe" &
peak_kb '&, pipe' "$work/pipe" "$(stat -c %s "$work/amp")"
small=$(cat "$work/peak-1MB")
big=$(cat "$work/peak->4GiB")
# A few hundred KiB of noise is normal; growth with the input is not.
if ((big > small + 1024)); then
    echo "peak memory grew with the input: $small KiB -> $big KiB" >&2
    exit 1
fi
