#!/usr/bin/env bash
# Hardening run: the whole test suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++ and clang), then with ThreadSanitizer, then
# a bounded fuzzing run of the decoder. Any finding fails. Installs nothing: needs g++, cmake,
# libgtest-dev, clang-14 and libclang-rt-14-dev.
#   QUENLO_FUZZ_SECONDS  length of the fuzzing run (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh

fuzz_seconds=${QUENLO_FUZZ_SECONDS:-60}
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

for compiler in g++ clang++-14; do
    dir=build-sanitize-${compiler%%+*}
    step "Test suite with ASan+UBSan, $compiler"
    cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUENLO_SANITIZE=ON -DQUENLO_WERROR=ON >/dev/null
    cmake --build "$dir" -j2
    ctest --test-dir "$dir" -j2 --output-on-failure
done

# The program tests read inputs of many pieces, so the pass's workers run
# side by side: any data race fails the run.
step "Test suite with ThreadSanitizer, clang++-14"
cmake -S . -B build-tsan -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUENLO_TSAN=ON -DQUENLO_WERROR=ON >/dev/null
cmake --build build-tsan -j2
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan -j2 --output-on-failure -E Exhaustive  # in-process, one thread

step "Fuzzing the decoder for ${fuzz_seconds} s"
fuzz_decoder build-fuzz "$fuzz_seconds" -DCMAKE_CXX_COMPILER=clang++-14
