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
