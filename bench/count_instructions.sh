#!/usr/bin/env bash
# Instructions per input byte of the NEON, SSSE3 and AVX2 vector loops (the
# one block loop of src/kernels/block.h, compiled for each).
# Counted, not timed: each loop runs once over SIZE bytes of each benchmark
# corpus (and of plain text, which takes only the fast path) under qemu-user,
# which logs every instruction executed inside the loop's own function
# (-singlestep -d exec,nochain, filtered to its address range). Emulated
# timings say nothing of speed, so none are taken; instruction counts say
# how much work each loop does, not how fast a given core does it.
# Needs (Debian 12): g++ g++-aarch64-linux-gnu qemu-user. About 10 minutes.
#   bench/count_instructions.sh [SIZE]      (default 1000000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size=${1:-1000000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs one kernel once over one corpus (9: plain text), static so that the
# loop's address is fixed.
cat >"$work/once.cpp" <<'EOF'
#include <cstdlib>
#include <string>
#include <vector>

#include "support/form_data.h"
#include "kernels/kernel.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::string name = argv[1];
    const int kind = std::atoi(argv[2]);
    const std::size_t size = std::strtoul(argv[3], nullptr, 10);
    std::string in;
    if (kind == 9) in.assign(size, 'x');
    else quenlo_test::make_corpus(in, static_cast<quenlo_test::corpus_kind>(kind), size);
    std::vector<unsigned char> out(quenlo::decode_bound(in.size()));
    for (const auto& k : quenlo::detail::decode_kernels()) {
        if (name != k.name) continue;
        quenlo::decode_state state;
        k.run(state, {reinterpret_cast<const unsigned char*>(in.data()), in.size()}, out.data());
        return 0;
    }
    return 1;
}
EOF
# The flags of a Release build; the registry holds the kernels counted.
k="$root/src/kernels"
common=("$k/registry.cpp" "$k/scalar.cpp" "$k/vector.cpp" "$root/src/decode.cpp")
g++ -std=c++20 -O3 -DNDEBUG -static -DQUENLO_WITH_SSSE3=1 -DQUENLO_WITH_AVX2=1 -I"$root/src" -I"$root/include" \
    -I"$root/tests" "$work/once.cpp" "${common[@]}" "$k/ssse3.cpp" "$k/avx2.cpp" -o "$work/once-"
aarch64-linux-gnu-g++ -std=c++20 -O3 -DNDEBUG -static -DQUENLO_WITH_NEON=1 -I"$root/src" -I"$root/include" \
    -I"$root/tests" "$work/once.cpp" "${common[@]}" "$k/neon.cpp" -o "$work/once-aarch64-linux-gnu-"

count() {  # binary emulator kernel kind
    local range n
    # The loop and its variants, when the compiler keeps them apart
    # (block_loop_as<...::avx2, true, false>, block_loop_as<pair<...::ssse3>, ...>).
    range=$(nm -S -C "$1" | awk -v loop="block_loop(_as)?<.*::$3[>,]" \
        '$0 ~ loop {printf "%s0x%s+0x%s", sep, $1, $2; sep = ","}')
    n=$($2 -singlestep -d exec,nochain -dfilter "$range" -D /dev/stdout "$1" "$3" "$4" "$size" |
        grep -c '^Trace')
    awk -v n="$n" -v size="$size" 'BEGIN {printf " %5.2f |", n / size}'
}

echo "| corpus | NEON | SSSE3 | AVX2 |"
echo "|---|---|---|---|"
names=(ascii sjis utf8 textarea)
for kind in 9 0 1 2 3; do
    if [ "$kind" = 9 ]; then printf '| plain text |'; else printf '| %s |' "${names[$kind]}"; fi
    count "$work/once-aarch64-linux-gnu-" qemu-aarch64 neon "$kind"
    count "$work/once-" "qemu-x86_64 -cpu max" ssse3 "$kind"
    count "$work/once-" "qemu-x86_64 -cpu max" avx2 "$kind"
    echo
done
