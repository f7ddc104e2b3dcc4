#!/usr/bin/env bash
# Runs every recipe in doc/scaling.md exactly as written (each ```sh block
# whose first line is "# recipe: NAME"), each in a fresh copy of the same
# files, and compares what it made byte for byte with quenlo's output for the
# whole input. Also checks the page's claim that split -b and split -C change
# the output. Exit 77 (skipped) when GNU parallel or rsync is missing.
# Usage: recipes.sh QUENLO DOC
set -euo pipefail

for tool in parallel rsync; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIPPED: $tool is not installed (Debian package $tool); the recipes need it" >&2
        exit 77
    fi
done
quenlo=$(realpath "$1")
doc=$(realpath "$2")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# quenlo as if installed, on every machine.
mkdir "$work/bin"
ln -s "$quenlo" "$work/bin/quenlo"
export PATH="$work/bin:$PATH"

# --- the inputs -------------------------------------------------------------
fixture=$work/fixture
mkdir "$fixture"
cd "$fixture"
# Small files with names a careless script would break on, and bytes a text
# tool would not keep: CR LF, bare CR, NUL, Shift_JIS, no final line break.
printf 'a=1&b=%%41\r\n' >one.txt
printf 'c=%%0D%%0A&d\rbare-cr\n' >'two words.txt'
printf 'x=1&y' >-v.txt
printf 'q=%%82%%A0\x82\xa0\0nul\n' >"it's \$HOME.txt"
printf 'n=%%E3%%81%%82\n' >"$(printf 'new\nline.txt')"
printf 'j=%%93%%FA&k=\xe6\x97\xa5\r\n' >'フォーム.txt'
# big.txt: 4 MB of lines of every kind, and one line of 300 KB, longer than
# the pieces split -C makes below.
unit='name=Jane+Doe&email=jane%40example.org&note=100%25+cotton%3F\r\n'
unit+='sjis=%82%A0\x82\xa0&crlf=%0D%0A&bad=%zz%4&tab\there\n'
unit+='cr-only\rnext=1\n'
unit+='nul=\0x&hi=%e3%81%82+%%41\n'
printf '%b' "$unit" >big.txt
for _ in $(seq 15); do cat big.txt big.txt >twice && mv twice big.txt; done
{
    head -c 2000000 big.txt
    printf '%%41%.0s' $(seq 100000)
    printf '\n'
    tail -c +2000001 big.txt
} >long && mv long big.txt
# The same with a Ctrl-Z a third of the way in, after which nothing counts.
{
    head -c 1400000 big.txt
    printf '\x1a'
    tail -c +1400002 big.txt
} >big-ctrl-z.txt

# --- what quenlo makes of each whole input ----------------------------------
expected=$work/expected
mkdir "$expected"
for f in *.txt; do quenlo "$f" "$expected/$f.out" 2>/dev/null; done
whole_big=$expected/big.txt.out
whole_ctrl_z=$expected/big-ctrl-z.txt.out
[ "$(wc -c <"$whole_big")" -gt 3000000 ] || { echo "big.txt decoded to too little" >&2; exit 1; }
[ "$(wc -c <"$whole_ctrl_z")" -lt "$(wc -c <"$whole_big")" ] || { echo "the Ctrl-Z ended nothing" >&2; exit 1; }

failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
same() {  # FILE EXPECTED WHAT
    if cmp -s -- "$1" "$2"; then echo "  same bytes: $3"; else fail "$3 differs from the whole input's output"; fi
}

# Each small file's .out, as quenlo makes it for that file alone.
check_outs() {  # RECIPE
    local f
    for f in "$fixture"/*.txt; do
        f=${f##*/}
        same "$f.out" "$expected/$f.out" "$1: $f"
    done
}

# A stand-in for ssh to host H: runs the command through a shell, as an ssh
# server does, in H's own directory under $machines, H's home, with SHELL set
# to the login shell as sshd sets it (GNU parallel's remote side runs each job
# with $SHELL, and with none it runs nothing and still exits 0).
machines=$work/machines
mkdir "$machines"
cat >"$work/standin-ssh" <<'EOF'
#!/bin/sh
while [ $# -gt 0 ]; do
    case $1 in
    -[bcDEeFIiJLlmOopQRSWw]) shift 2 ;;  # options with a value
    -*) shift ;;
    *) break ;;
    esac
done
host=$1
shift
[ "${1-}" = -- ] && shift
home=$QUENLO_MACHINES/$host
mkdir -p "$home"
echo "$host" >>"$QUENLO_MACHINES/../hosts-used"
shell=$(getent passwd "$(id -u)" | cut -d: -f7)
cd "$home" && HOME=$home SHELL=${shell:-/bin/sh} exec sh -c "$*"
EOF
chmod +x "$work/standin-ssh"

# --- each recipe, as written ------------------------------------------------
# The blocks, each its name, a line end, its text and a byte 036.
recipes=$(awk '
    /^```sh$/ { inside = 1; text = ""; name = ""; next }
    /^```$/ && inside { if (name != "") printf "%s\n%s%c", name, text, 30; inside = 0; next }
    inside && text == "" && name == "" && /^# recipe: / { name = substr($0, 11); next }
    inside { text = text $0 "\n" }
' "$doc")
[ -n "$recipes" ] || { echo "no recipe found in $doc" >&2; exit 1; }

ran=0
while IFS= read -r -d $'\036' recipe; do
    name=${recipe%%$'\n'*}
    text=${recipe#*$'\n'}
    inputs=(big.txt)
    case $name in *Ctrl-Z*) inputs=(big.txt big-ctrl-z.txt) ;; esac
    for input in "${inputs[@]}"; do
        echo "recipe: $name (big.txt: $input)"
        dir=$work/run-$ran
        ran=$((ran + 1))
        cp -a "$fixture" "$dir"
        [ "$input" = big.txt ] || mv "$dir/$input" "$dir/big.txt"
        rm -rf "$machines"/* "$work/hosts-used"
        # As a user's shell runs it: a failing command stops it; no pipefail.
        if ! (cd "$dir" && QUENLO_MACHINES=$machines PARALLEL="--ssh $work/standin-ssh" \
            bash -e -c "$text" >"$dir.stdout" 2>"$dir.stderr"); then
            fail "$name: exit status not 0"
            cat "$dir.stderr" >&2
            continue
        fi
        cd "$dir"
        failures_before=$failures
        case $name in
        "many files into one stream"*)
            for f in "$fixture"/*.txt; do cat "$expected/${f##*/}.out"; done >"$work/concatenated"
            same all.out "$work/concatenated" "$name"
            ;;
        "many files"*)
            check_outs "$name"
            ;;
        "several machines"*)
            check_outs "$name"
            for host in host1 host2; do
                grep -qx "$host" "$work/hosts-used" || fail "$name: no job ran on $host"
                leftovers=$(find "$machines/$host" -type f | wc -l)
                [ "$leftovers" = 0 ] || fail "$name: $leftovers files left behind on $host"
            done
            ;;
        *"huge file"* | *Ctrl-Z*)
            if [ "$input" = big.txt ]; then
                same big.out "$whole_big" "$name"
            else
                same big.out "$whole_ctrl_z" "$name, with a Ctrl-Z"
            fi
            ;;
        *)
            fail "$name: no check for this recipe"
            ;;
        esac
        # What the recipe said, when it exited 0 but made the wrong files.
        [ "$failures" = "$failures_before" ] || sed 's/^/  stderr: /' "$dir.stderr" >&2
        cd "$work"
    done
done <<<"$recipes"
[ "$ran" -ge 6 ] || fail "only $ran recipe runs"

# --- the splits the page warns against --------------------------------------
echo "split -b and split -C, which the page warns against"
for cut in "-b 100000" "-C 65536"; do
    dir=$work/cut
    rm -rf "$dir"
    mkdir "$dir"
    cd "$dir"
    # shellcheck disable=SC2086  # the option and its size, split on purpose
    split $cut -d -a 4 "$fixture/big.txt" part.
    for p in part.????; do quenlo "$p" 2>/dev/null; done >joined
    if cmp -s joined "$whole_big"; then
        fail "split $cut kept the bytes: the page says it does not"
    else
        echo "  changed, as the page says: split $cut"
    fi
    cd "$work"
done

if [ "$failures" != 0 ]; then
    echo "$failures failures in $ran recipe runs" >&2
    exit 1
fi
echo "every recipe kept every byte ($ran runs)"
