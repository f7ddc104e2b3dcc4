# Shell functions the CI scripts share; each script sources this file.
# shellcheck shell=bash

step() { printf '\n=== %s\n' "$*"; }

# Wine's loaders and server. The 32-bit loader of Debian's wine32 package is
# outside PATH; /usr/bin/wine might pick either.
wine64_loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
wine32_loader=/usr/lib/wine/wine
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

# The decoded text of examples/contact-form.txt, written out independently.
example_output() {
    printf 'name=\xe5\xb1\xb1\xe7\x94\xb0 \xe5\xa4\xaa\xe9\x83\x8e\r\nemail=taro@example.com\r\n'
    printf 'subject=Order #2\r\nmessage=Two pens, please.\r\nThank you!\r\n'
    printf 'name=Jane Doe\r\nemail=jane@example.org\r\nsubject=100%% cotton?\r\nmessage=Yes & no\r\n'
}

# install_debs ROOT DEB...: installs the packages with dpkg into a new
# scratch root (which has no C library: the host's serves, or an emulator
# takes the one of the target's packages), and checks that apt could install
# them here, their dependencies resolved.
install_debs() {
    local root=$1
    shift
    rm -rf "$root"
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    touch "$root/var/lib/dpkg/status"
    dpkg --root="$root" --force-depends --force-architecture --force-not-root -i "$@" >/dev/null
    apt-get install --simulate --quiet "${@/#/./}" >/dev/null
}

# check_deb DEB [EMULATOR...]: shows the package, checks it with lintian,
# installs it into a scratch root beside it and runs the installed quenlo on
# the bundled example, through the emulator when one is given.
check_deb() {
    local deb=$1 root
    shift
    dpkg-deb --info "$deb"
    lintian --fail-on error,warning "$deb"
    root=$(dirname "$deb")/scratch-root
    install_debs "$root" "$deb"
    "$@" "$root/usr/bin/quenlo" examples/contact-form.txt 2>/dev/null | cmp - <(example_output)
    echo "installed quenlo decodes the example as it should"
    installed_manual=$root/usr/share/man/man1/quenlo.1.gz
}

# check_library_debs DIR ARCH: the library's two packages that DIR holds for
# ARCH, shown and checked with lintian; prints their paths, the shared
# library's first.
check_library_debs() {
    local deb
    for deb in "$1"/libquenlo1_*_"$2".deb "$1"/libquenlo-dev_*_"$2".deb; do
        dpkg-deb --info "$deb" >&2
        dpkg-deb --contents "$deb" >&2
        lintian --fail-on error,warning "$deb" >&2
        echo "$deb"
    done
}

# check_exports LIBRARY: the shared library exports the symbols that its
# package's symbols file declares, each with its version, and nothing else.
check_exports() {
    local exported declared
    nm -D --defined-only "$1"
    # nm writes NAME@@VERSION, and a version node's own symbol as NAME alone.
    exported=$(nm -D --defined-only "$1" | awk '{print $3}' | sed 's/@@/@/; /@/!s/.*/&@&/' | sort)
    declared=$(sed -n 's/^ \([^ ]*\) .*/\1/p' packaging/debian/libquenlo1/symbols | sort)
    if [ "$exported" != "$declared" ]; then
        echo "$1 does not export what packaging/debian/libquenlo1/symbols declares:" >&2
        diff <(echo "$declared") <(echo "$exported") >&2
        return 1
    fi
    echo "exports: the $(wc -l <<<"$declared") symbols of packaging/debian/libquenlo1/symbols, nothing else"
}

# form_input FILE SIZE: SIZE bytes of random form data (escapes whole and
# broken, field and line breaks, bytes 0x80-0xFF and NUL) without Ctrl-Z,
# which ends the program's input while the library decodes every byte.
form_input() {
    python3 - "$1" "$2" <<'PY'
import random, sys
path, size = sys.argv[1], int(sys.argv[2])
r = random.Random(32)
special = [b"%41", b"%e3%81%82", b"%2", b"%", b"%zz", b"&", b"+", b"\t", b"\r\n", b"\r", b"\n", b"=", b"\x00", b"\x82\xa0"]
out = bytearray()
while len(out) < size:
    out += b"field" if r.random() < 0.3 else r.choice(special)
    out += bytes(r.choice(b"abcxyz019") for _ in range(r.randrange(0, 40)))
open(path, "wb").write(out[:size])
PY
}

# host_kernel: the kernel a library built with every kernel picks on this
# CPU, read from /proc/cpuinfo as the registry reads the CPU.
host_kernel() {
    local flags
    flags=" $(sed -n 's/^flags[[:space:]]*: //p' /proc/cpuinfo | head -n 1) "
    case $(uname -m) in
    aarch64) echo neon ;;
    x86_64)
        if [[ $flags == *" avx512bw "* && $flags == *" avx512vbmi "* && $flags == *" avx512_vbmi2 "* &&
              $flags == *" bmi2 "* && $flags == *" popcnt "* ]]; then
            echo avx512
        elif [[ $flags == *" avx2 "* ]]; then
            echo avx2
        elif [[ $flags == *" ssse3 "* ]]; then
            echo ssse3
        else
            echo scalar
        fi ;;
    *) echo scalar ;;
    esac
}

# fuzz_decoder BUILD_DIR SECONDS [CMAKE_ARG...] [-- EMULATOR...]: builds the
# differential fuzz target with clang and runs it for SECONDS, from the
# corpus in fuzz/corpus (only read; new inputs go to BUILD_DIR/found).
fuzz_decoder() {
    local dir=$1 seconds=$2 cmake_args=() emulator=() options=()
    shift 2
    while [ $# -gt 0 ] && [ "$1" != -- ]; do cmake_args+=("$1"); shift; done
    if [ $# -gt 0 ]; then
        shift
        emulator=("$@")
        # Under an emulator libFuzzer's memory watchdog thread stalls the run.
        options=(-rss_limit_mb=0)
    fi
    cmake -S . -B "$dir" -DQUENLO_FUZZ=ON -DQUENLO_BUILD_TESTS=OFF -DQUENLO_WERROR=ON \
        "${cmake_args[@]}" >/dev/null
    cmake --build "$dir" -j2
    mkdir -p "$dir/found"
    "${emulator[@]}" "$dir/fuzz/decode_fuzzer" "${options[@]}" -max_total_time="$seconds" \
        -max_len=4096 -dict=fuzz/form.dict -artifact_prefix="$dir/" -print_final_stats=1 \
        "$dir/found" fuzz/corpus
}

# apt_update_retrying: apt-get update, tried again while a mirror is out of
# step (four tries, 30 s apart: about two minutes at most). When the last try
# fails only because some indexes did not download, the run goes on with the
# indexes it has, saying which are missing; any other failure stops it.
apt_update_retrying() {
    local try tries=4 status log
    log=$(mktemp)
    for ((try = 1; ; try++)); do
        status=0
        apt-get update -qq >"$log" 2>&1 || status=$?
        [ "$status" = 0 ] && { rm -f "$log"; return 0; }
        cat "$log"
        [ "$try" -lt "$tries" ] || break
        echo "apt-get update: exit $status (try $try of $tries); trying again in 30 s"
        sleep 30
    done
    local missing other
    missing=$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' "$log")
    other=$(grep '^E: ' "$log" | grep -v -e '^E: Failed to fetch ' \
        -e '^E: Some index files failed to download' || true)
    rm -f "$log"
    if [ -z "$missing" ] || [ -n "$other" ]; then
        echo "apt-get update failed (exit $status), and not only for some indexes" >&2
        return 1
    fi
    echo "WARNING: apt-get update: going on without these indexes:"
    printf '  %s\n' $missing
    missing_indexes=$(wc -w <<<"$missing")
}

# install_or_skip PACKAGE: installs a package that only some steps need and
# that may be uninstallable for a reason outside the project. When apt-get
# cannot install it, its error is shown and the package is listed in
# QUENLO_CI_UNAVAILABLE ("package: reason" lines), which those steps read.
install_or_skip() {
    local log status=0
    log=$(mktemp)
    apt-get install -y -qq "$1" >"$log" 2>&1 || status=$?
    if [ "$status" != 0 ]; then
        cat "$log"
        local why
        why=$(grep '^E: ' "$log" | tail -n 1)
        [ -z "${missing_indexes:-}" ] || why+="; $missing_indexes package index(es) did not download"
        QUENLO_CI_UNAVAILABLE+="$1: apt-get install exit $status (${why:-no error line})"$'\n'
        export QUENLO_CI_UNAVAILABLE
        echo "WARNING: $1 could not be installed; the steps that need it will be skipped"
    fi
    rm -f "$log"
}

# unavailable PACKAGE: the reason CI could not install PACKAGE (and status 0),
# or status 1 when it was not reported missing.
unavailable() {
    local line
    while IFS= read -r line; do
        [ "${line%%: *}" = "$1" ] && { printf '%s\n' "${line#*: }"; return 0; }
    done <<<"${QUENLO_CI_UNAVAILABLE:-}"
    return 1
}

# skip_step STEP PACKAGE: prints the loud line for a step left out because
# PACKAGE could not be installed, and keeps it for the run's closing summary.
skip_step() {
    local line
    line="SKIPPED: $1: $2 could not be installed: $(unavailable "$2")"
    printf '\n%s\n' "$line"
    [ -z "${QUENLO_CI_SKIPPED:-}" ] || printf '%s\n' "$line" >>"$QUENLO_CI_SKIPPED"
}

# report_skipped: at the end of a run, the skipped steps again, where a reader
# of the log looks first.
report_skipped() {
    if [ -s "${QUENLO_CI_SKIPPED:-}" ]; then
        printf '\n=== Steps skipped in this run\n'
        cat "$QUENLO_CI_SKIPPED"
    else
        printf '\n=== Every step ran\n'
    fi
}
