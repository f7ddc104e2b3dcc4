#!/usr/bin/env bash
# Smoke check of the 32-bit Windows build: a handful of runs of its quenlo.exe
# under 32-bit Wine, each compared byte for byte (standard output, standard
# error, exit status, the files left behind) with the same run of the 64-bit
# build, whose whole test suite passes. Few runs, each a Wine start, to stay
# short where starting 32-bit programs is slow.
# Usage: .ci/win32-smoke.sh BUILD_WIN64 BUILD_WIN32
# WINEPREFIX must name a prefix already set up by the 64-bit wineboot with
# 32-bit Wine installed, so that it runs both kinds of program.
set -euo pipefail
: "${WINEPREFIX:?set WINEPREFIX to a prefix made by wineboot}"
source "$(dirname "$0")/lib.sh"

exe64=$(realpath "$1/quenlo.exe")
exe32=$(realpath "$2/quenlo.exe")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Wine takes code page 932 (Shift_JIS) for the ANSI code page from a Japanese
# locale; the 64-bit build compiled one for its own tests.
locale=$(realpath "$1/tests/locale")
[ -e "$locale/ja_JP.UTF-8/LC_CTYPE" ] || { echo "no ja_JP.UTF-8 in $locale (package locales)" >&2; exit 1; }
japanese=(env LOCPATH="$locale" LC_ALL=ja_JP.UTF-8)

mkdir "$work/inputs"
cd "$work/inputs"
# One field per decoding rule, every byte value raw, then text after a Ctrl-Z
# that must not come out.
{
    printf 'lf=1\nand=2&crlf=3\r\ncr=4\rplus+and\ttab\n'
    printf 'hex=%%41%%6a%%7E%%e3%%81%%82&sjis=%%82%%a0\x82\xa0&decoded=%%26%%0D%%0A%%25\n'
    printf 'bad=100%%&%%%%41&%%zz&%%4g&%%\n'
    printf 'nul=\0&eq==x=\n'
    for b in $(seq 0 255); do [ "$b" = 26 ] || printf "\\x$(printf %02x "$b")"; done
    printf '\r\nend=1\x1aafter=ctrl-z\n'
} >many.txt
# Reads are 256 KiB (read_size in src/convert.h): an escape starts in the last
# byte of the first read, a CR LF is split between the second and third, and
# the input ends in an unfinished escape.
filler() {  # N bytes of form text, the last a field break
    local text=$'name=Jane+Doe&city=Z%C3%BCrich&note=a%2Bb\n'
    while [ ${#text} -lt "$1" ]; do text+=$text; done
    printf '%s&' "${text:0:$1-1}"
}
{
    filler $((262144 - 1))
    printf '%%41'
    filler $((524288 - 262144 - 2 - 1))
    printf '\r\n'
    filler 1000
    printf '%%4'
} >big.txt

# Each run: its name, whether it is meant to succeed, its arguments.
runs=(
    "many-to-stdout ok many.txt"
    "big-to-file ok big.txt out.txt"
    "missing-input fails データ.txt"
    "unopenable-output fails many.txt no-such-dir/out.txt"
    "same-file fails many.txt many.txt"
)

run_one() {  # label, loader, quenlo.exe, one entry of runs
    local label=$1 loader=$2 exe=$3 name expect args
    read -r name expect args <<<"$4"
    local dir="$work/$label/$name"
    mkdir -p "$dir"
    cp "$work/inputs/many.txt" "$work/inputs/big.txt" "$dir/"
    local start=$SECONDS status=0
    # shellcheck disable=SC2086  # the arguments split at spaces on purpose
    (cd "$dir" && "${japanese[@]}" "$loader" "$exe" $args </dev/null >"$dir.out" 2>"$dir.err") ||
        status=$?
    echo "$status" >"$dir.status"
    echo "$label $name: status $status, $((SECONDS - start)) s"
}

for run in "${runs[@]}"; do run_one win64 "$wine64_loader" "$exe64" "$run"; done
# The reference must succeed or fail as meant, and show the Japanese name in
# Shift_JIS, so that two builds failing alike for another reason (Wine not
# starting them, no code page 932) do not pass as agreeing.
no_reference() { echo "no reference: $*" >&2; exit 1; }
for run in "${runs[@]}"; do
    read -r name expect _ <<<"$run"
    status=$(cat "$work/win64/$name.status")
    if [ "$expect" = ok ] && [ "$status" != 0 ]; then no_reference "$name gave status $status"; fi
    if [ "$expect" = fails ] && [ "$status" = 0 ]; then no_reference "$name succeeded"; fi
done
if [ ! -s "$work/win64/many-to-stdout.out" ] || [ ! -s "$work/win64/big-to-file/out.txt" ]; then
    no_reference "no decoded text"
fi
if ! grep -qF "$(printf %s データ.txt | iconv -f UTF-8 -t SHIFT_JIS)" "$work/win64/missing-input.err"; then
    no_reference "the missing input's name is not in Shift_JIS"
fi

# Compared run by run, so that a difference stops the check at once.
for run in "${runs[@]}"; do
    run_one win32 "$wine32_loader" "$exe32" "$run"
    read -r name _ <<<"$run"
    for f in "$name" "$name.out" "$name.err" "$name.status"; do
        if ! diff -r "$work/win64/$f" "$work/win32/$f"; then
            echo "the 32-bit build differs from the 64-bit build in $name" >&2
            exit 1
        fi
    done
done
echo "32-bit and 64-bit builds agree byte for byte in ${#runs[@]} runs"
