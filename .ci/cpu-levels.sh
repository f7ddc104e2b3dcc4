#!/usr/bin/env bash
# The whole program on x86 CPUs other than this one. One build with every
# kernel runs its program and corpus tests under qemu-x86_64 once per CPU
# level (the ordinary test run does the same for the kernel tests), each run
# checking which kernel the registry chose: a kernel offered
# to a CPU that lacks its instructions fails there (SIGILL, or the wrong
# name). The AVX-512 kernel has no emulator here; it is tested only where
# the machine has it. Needs (Debian 12): qemu-user googletest.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh

step "Kernels this machine runs natively"
cmake -S . -B build-cpu -DQUENLO_WERROR=ON -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=x86_64 \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/.ci/qemu-x86-cpu" >/dev/null
cmake --build build-cpu -j2 --target decode_kernels_test program_test corpus_test quenlo
# The kernel tests skip a kernel the CPU lacks; their names tell which ran.
run=$(build-cpu/tests/decode_kernels_test --gtest_filter='All/Kernel.PatternsAtEveryOffset/*')
ran=$(sed -n 's/^\[       OK \] .*PatternsAtEveryOffset\/\([a-z0-9]*\).*/\1/p' <<<"$run" | awk '!seen[$0]++' | paste -sd' ')
skipped=$(sed -n 's/^\[  SKIPPED \] .*PatternsAtEveryOffset\/\([a-z0-9]*\).*/\1/p' <<<"$run" | awk '!seen[$0]++' | paste -sd' ')
echo "ran natively: ${ran:-none}; cannot run on this machine: ${skipped:-none}"

# CPU model, the kernel it must get. Haswell loses the features TCG does not
# emulate, or qemu warns of each on the program's standard error.
levels=("qemu64 scalar" "Westmere ssse3" "Haswell,-pcid,-x2apic,-tsc-deadline,-hle,-rtm,-invpcid avx2")
for level in "${levels[@]}"; do
    read -r cpu kernel <<<"$level"
    step "Under qemu-x86_64 -cpu ${cpu%%,*}: the $kernel kernel"
    QUENLO_QEMU_CPU=$cpu QUENLO_EXPECT_KERNEL=$kernel \
        ctest --test-dir build-cpu -j2 --output-on-failure -R '^(KernelChoice|Program|Corpus)\.'

done
