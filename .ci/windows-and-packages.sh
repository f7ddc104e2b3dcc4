#!/usr/bin/env bash
# Windows builds, packages and the manual page:
#  - cross-builds 64-bit and 32-bit Windows with warnings as errors and makes
#    their .zip packages; runs the whole test suite of each build under Wine,
#    and a smoke check of the 32-bit build against the 64-bit one (the same
#    runs, compared byte for byte);
#  - builds the .deb packages (the program, libquenlo1, libquenlo-dev), checks
#    the program's with lintian, installs it into a scratch root and runs the
#    installed quenlo on the bundled example (.ci/library.sh takes the other two);
#  - checks that the manual page formats without warnings.
# Needs (Debian 12): cmake g++ make g++-mingw-w64-x86-64 g++-mingw-w64-i686
#   googletest locales wine wine64 dpkg-dev file lintian groff-base man-db
#   bsdutils (script) wine32:i386 (after dpkg --add-architecture i386)
#   qemu-user-static
# Where .ci/run could not install wine32:i386 (QUENLO_CI_UNAVAILABLE), the
# 32-bit build is still made and packed, and its runs under Wine are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh

scratch=$(mktemp -d)
cleanup() {
    WINEPREFIX="$scratch/wine" "$wineserver" -k 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

# The zip holds every file its README lists under "In this folder".
check_zip() {  # zip
    local zip dir top names f
    zip=$(realpath "$1")
    dir=$(mktemp -d)
    top=$(basename "$1" .zip)
    (cd "$dir" && cmake -E tar xf "$zip")
    names=$(tr -d '\r' <"$dir/$top/README.txt" |
            sed -n '/^In this folder/,/^Running it/s/^  \([^ ]\{1,\}\) .*/\1/p' | tr '\\' /)
    [ -n "$names" ] || { echo "$1: its README lists no file" >&2; exit 1; }
    for f in $names; do
        [ -f "$dir/$top/$f" ] || { echo "$1 lacks $f, which its README names" >&2; exit 1; }
    done
    echo "$1 holds every file its README names:" $names
    rm -rf "$dir"
}

build_windows() {  # toolchain, build directory
    cmake -S . -B "$2" -DCMAKE_TOOLCHAIN_FILE="cmake/$1.cmake" -DQUENLO_WERROR=ON
    cmake --build "$2" -j2
    (cd "$2" && cpack -G ZIP)
    check_zip "$2"/quenlo-*.zip
    # Linked statically: only DLLs that every Windows has.
    local dlls
    dlls=$("$1-objdump" -p "$2/quenlo.exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
    echo "quenlo.exe imports:" $dlls
    if grep -qvxE 'kernel32.dll|msvcrt.dll|shell32.dll' <<<"$dlls"; then
        echo "quenlo.exe needs a DLL that a bare Windows lacks" >&2
        exit 1
    fi
}

step "64-bit Windows build"
build_windows x86_64-w64-mingw32 build-win64
step "32-bit Windows build"
build_windows i686-w64-mingw32 build-win32

# 32-bit Wine, which CI may have been unable to install (.ci/run says why).
wine32=yes
unavailable wine32:i386 >/dev/null && wine32=

step "Test suite under Wine (64-bit)"
# 32-bit Wine's loader must run before the prefix is made, so that the
# prefix gets its 32-bit half as well.
if [ -n "$wine32" ]; then
    bash .ci/i386-binfmt.sh
else
    skip_step "32-bit programs made runnable (.ci/i386-binfmt.sh)" wine32:i386
fi
export WINEPREFIX="$scratch/wine" WINEDEBUG=-all
# A server that stays up for the whole run, and a prefix created before the
# tests (the first start takes a while). Both get no terminal or pipe: Wine's
# background processes keep what they inherit open, which would stall ctest.
# Where 32-bit programs are emulated, the prefix takes about five minutes.
mkdir -p "$WINEPREFIX"
"$wineserver" -p </dev/null >/dev/null 2>&1
start=$SECONDS
timeout 900 "$wine64_loader" wineboot --init </dev/null >/dev/null 2>&1
echo "Wine prefix ready in $((SECONDS - start)) s"
ctest --test-dir build-win64 --output-on-failure

if [ -n "$wine32" ]; then
    step "Test suite under Wine (32-bit)"
    start=$SECONDS
    timeout 900 ctest --test-dir build-win32 --output-on-failure
    echo "32-bit suite: $((SECONDS - start)) s"

    step "32-bit build under Wine: a smoke check against the 64-bit build"
    start=$SECONDS
    timeout 900 bash .ci/win32-smoke.sh build-win64 build-win32
    echo "smoke check: $((SECONDS - start)) s"
else
    skip_step "Test suite under Wine (32-bit)" wine32:i386
    skip_step "32-bit build under Wine: a smoke check against the 64-bit build" wine32:i386
fi

step "Debian packages; the program's installed into a scratch root and run"
cmake -S . -B build-pkg -DQUENLO_WERROR=ON -DQUENLO_BUILD_TESTS=OFF
cmake --build build-pkg -j2
(cd build-pkg && cpack -G DEB)
deb=$(ls build-pkg/quenlo_*.deb)
check_deb "$deb"
# Every .zip holds the program and its documents, not the library.
for zip in build-win64/quenlo-*.zip build-win32/quenlo-*.zip; do
    files=$(cmake -E tar tf "$zip" | grep -v '/$' | sed 's|^[^/]*/||' | LC_ALL=C sort | paste -sd' ')
    [ "$files" = "LICENSE.txt README.txt bin/quenlo.exe examples/contact-form.txt quenlo-manual.txt" ] ||
        { echo "$zip holds: $files" >&2; exit 1; }
done

step "Manual page"
problems=$(groff -ww -z -man quenlo.1 2>&1; MANWIDTH=80 man --warnings -l "$installed_manual" 2>&1 >/dev/null)
if [ -n "$problems" ]; then
    printf '%s\n' "$problems"
    exit 1
fi
echo "groff and man: no warnings"

step "Packages"
ls -l build-win64/quenlo-*.zip build-win32/quenlo-*.zip build-pkg/*.deb
