#!/usr/bin/env bash
# ARM64 (aarch64 Linux) build and package:
#  - cross-builds with warnings as errors and runs the whole test suite under
#    qemu-aarch64, the program tests included (a few minutes: emulated);
#  - builds the differential fuzz target with clang for aarch64 and runs it
#    under the emulator for QUENLO_FUZZ_SECONDS (default 30);
#  - builds the arm64 .deb packages, checks them with lintian, installs them
#    into a scratch root and runs the installed quenlo under the emulator, and
#    a C program built against the installed library with pkg-config, which
#    must decode as quenlo does with the NEON kernel.
# Needs (Debian 12): cmake make g++-aarch64-linux-gnu qemu-user googletest
#   clang-14 dpkg-dev file lintian pkg-config python3, and libstdc++6:arm64 and
#   libclang-rt-14-dev:arm64 (after dpkg --add-architecture arm64): the
#   package's dependencies are read from the first, libFuzzer for aarch64
#   comes with the second. Speed is not measured here: emulated timings say
#   nothing of it.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh

toolchain=cmake/aarch64-linux-gnu.cmake
emulator=(qemu-aarch64)  # the C library of the arm64 packages: see cmake/aarch64-linux-gnu.cmake

step "aarch64 build, test suite under qemu-aarch64"
cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQUENLO_WERROR=ON
cmake --build build-arm64 -j2
ctest --test-dir build-arm64 -j2 --output-on-failure

step "Fuzzing the decoder under qemu-aarch64 for ${QUENLO_FUZZ_SECONDS:-30} s"
# Under the emulator, LeakSanitizer cannot stop the threads it must inspect.
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    fuzz_decoder build-fuzz-arm64 "${QUENLO_FUZZ_SECONDS:-30}" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu-clang.cmake -- "${emulator[@]}"

step "arm64 Debian package, installed into a scratch root and run under qemu-aarch64"
# From the tested build: it installs nothing but what the package holds, and
# building again without the tests would double the slowest part of the run.
(cd build-arm64 && cpack -G DEB)
check_deb "$(ls build-arm64/quenlo_*_arm64.deb)" "${emulator[@]}"

step "arm64 library packages, and a C program built against them, under qemu-aarch64"
check_library_debs build-arm64 arm64 >build-arm64/library-debs
mapfile -t debs <build-arm64/library-debs
root=build-arm64/library-root
install_debs "$root" build-arm64/quenlo_*_arm64.deb "${debs[@]}"
libdir=$root/usr/lib/aarch64-linux-gnu
check_exports "$libdir/libquenlo.so.1"
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig
# shellcheck disable=SC2046  # pkg-config's flags are words
aarch64-linux-gnu-gcc -std=c99 -Wall -Wextra -Wpedantic -Werror examples/library/decode.c \
    $(pkg-config --cflags --libs quenlo) -o build-arm64/decode-c
form_input build-arm64/library-form.txt 1000000
"${emulator[@]}" "$root/usr/bin/quenlo" build-arm64/library-form.txt >build-arm64/library-expected 2>/dev/null
"${emulator[@]}" -E LD_LIBRARY_PATH="$libdir" build-arm64/decode-c build-arm64/library-form.txt \
    2>build-arm64/library-log | cmp - build-arm64/library-expected
want="libquenlo $(pkg-config --modversion quenlo), kernel neon"
grep -qx "$want" build-arm64/library-log || { echo "decode-c: $(cat build-arm64/library-log), not $want" >&2; exit 1; }
echo "decode-c: $want, the same bytes as the installed quenlo"
