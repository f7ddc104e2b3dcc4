#!/usr/bin/env bash
# ARM64 (aarch64 Linux) build and package:
#  - cross-builds with warnings as errors and runs the whole test suite under
#    qemu-aarch64, the program tests included (a few minutes: emulated);
#  - builds the differential fuzz target with clang for aarch64 and runs it
#    under the emulator for QUENLO_FUZZ_SECONDS (default 30);
#  - builds the arm64 .deb, checks it with lintian, installs it into a scratch
#    root and runs the installed quenlo under the emulator.
# Needs (Debian 12): cmake make g++-aarch64-linux-gnu qemu-user googletest
#   clang-14 dpkg-dev file lintian, and libstdc++6:arm64 and
#   libclang-rt-14-dev:arm64 (after dpkg --add-architecture arm64): the
#   package's dependencies are read from the first, libFuzzer for aarch64
#   comes with the second. Speed is not measured here: emulated timings say
#   nothing of it.
set -euo pipefail
cd "$(dirname "$0")/.."

toolchain=cmake/aarch64-linux-gnu.cmake
emulator=(qemu-aarch64)  # the C library of the arm64 packages: see cmake/aarch64-linux-gnu.cmake
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

step() { printf '\n=== %s\n' "$*"; }

step "aarch64 build, test suite under qemu-aarch64"
cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQUENLO_WERROR=ON
cmake --build build-arm64 -j2
ctest --test-dir build-arm64 -j2 --output-on-failure

step "Fuzzing the decoder under qemu-aarch64 for ${QUENLO_FUZZ_SECONDS:-30} s"
cmake -S . -B build-fuzz-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu-clang.cmake \
    -DQUENLO_FUZZ=ON -DQUENLO_BUILD_TESTS=OFF -DQUENLO_WERROR=ON >/dev/null
cmake --build build-fuzz-arm64 -j2
mkdir -p build-fuzz-arm64/found
# Under the emulator, LeakSanitizer cannot stop the threads it must inspect,
# and libFuzzer's memory watchdog thread stalls the run: both are off.
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "${emulator[@]}" build-fuzz-arm64/fuzz/decode_fuzzer -rss_limit_mb=0 \
    -max_total_time="${QUENLO_FUZZ_SECONDS:-30}" -max_len=4096 -dict=fuzz/form.dict \
    -artifact_prefix=build-fuzz-arm64/ -print_final_stats=1 build-fuzz-arm64/found fuzz/corpus

step "arm64 Debian package"
# From the tested build: it installs nothing but what the package holds, and
# building again without the tests would double the slowest part of the run.
(cd build-arm64 && cpack -G DEB)
deb=$(ls build-arm64/quenlo_*_arm64.deb)
dpkg-deb --info "$deb"
lintian --fail-on error,warning "$deb"

step "Install into a scratch root and run the installed quenlo under qemu-aarch64"
root="$scratch/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scratch root has no C library and knows no architectures; the
# emulator takes the ARM C library from the arm64 packages installed here.
dpkg --root="$root" --force-depends --force-architecture --force-not-root -i "$deb"
apt-get install --simulate --quiet "./$deb" >/dev/null  # dependencies resolve here
"${emulator[@]}" "$root/usr/bin/quenlo" examples/contact-form.txt >"$scratch/out"
# The same bytes as the build whose tests just passed.
"${emulator[@]}" build-arm64/quenlo examples/contact-form.txt 2>/dev/null | cmp - "$scratch/out"
file "$root/usr/bin/quenlo"
ls -l "$deb"
