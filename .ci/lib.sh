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

# check_deb DEB [EMULATOR...]: shows the package, checks it with lintian,
# installs it into a scratch root beside it with dpkg (the dependencies must resolve
# here) and runs the installed quenlo on the bundled example, through the
# emulator when one is given. The scratch root has no C library: the host's
# serves, or the emulator takes the one of the target's packages.
check_deb() {
    local deb=$1 root
    shift
    dpkg-deb --info "$deb"
    lintian --fail-on error,warning "$deb"
    root=$(dirname "$deb")/scratch-root
    rm -rf "$root"
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    touch "$root/var/lib/dpkg/status"
    dpkg --root="$root" --force-depends --force-architecture --force-not-root -i "$deb" >/dev/null
    apt-get install --simulate --quiet "./$deb" >/dev/null
    "$@" "$root/usr/bin/quenlo" examples/contact-form.txt 2>/dev/null | cmp - <(example_output)
    echo "installed quenlo decodes the example as it should"
    installed_manual=$root/usr/share/man/man1/quenlo.1.gz
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
