#!/usr/bin/env bash
# The library as a program that uses it gets it: from the Debian packages
# (by default the three .deb in build-pkg for this machine, installed into a
# scratch root) or from an install tree (cmake --install BUILD --prefix PREFIX):
#  - libquenlo.so.1 exports the symbols of packaging/debian/libquenlo1/symbols
#    and nothing else (nm -D);
#  - the C and C++ programs of doc/library.md, built with pkg-config, print
#    the text the page says;
#  - examples/library/, built with find_package(quenlo) (decode.cpp against
#    the shared library, decode.c against the static one) and decode.c with
#    pkg-config as C99, decodes files as the installed quenlo does, and names
#    the kernel this CPU gets;
#  - examples/library/decode.py loads the shared library with ctypes and
#    decodes them the same.
#   .ci/library.sh [PREFIX]
# QUENLO_EXPECT_KERNEL names the kernel expected, for a library built with
# fewer than every kernel. Needs (Debian 12): cmake g++ pkg-config python3
# dpkg-dev binutils. Under a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if [ $# -ge 1 ]; then
    prefix=$(cd "$1" && pwd)
    step "The library installed under $prefix"
else
    arch=$(dpkg --print-architecture)
    step "The library's packages ($arch), installed into a scratch root"
    check_library_debs build-pkg "$arch" >"$scratch/debs"
    mapfile -t debs <"$scratch/debs"
    install_debs "$scratch/root" build-pkg/quenlo_*_"$arch".deb "${debs[@]}"
    prefix=$scratch/root/usr
fi
pc=$(find "$prefix" -path '*/pkgconfig/quenlo.pc')
export PKG_CONFIG_PATH=${pc%/quenlo.pc}
libdir=$(realpath "$(pkg-config --variable=libdir quenlo)")
version=$(pkg-config --modversion quenlo)
kernel=${QUENLO_EXPECT_KERNEL:-$(host_kernel)}
find "$prefix" -path '*quenlo*' ! -type d | sort

step "What $libdir/libquenlo.so.1 exports"
check_exports "$libdir/libquenlo.so.1"

step "The examples of doc/library.md, built with pkg-config"
# Each program is the page's code block of its language, as it stands.
sed -n '/^```c$/,/^```$/{/^```/!p}' doc/library.md >"$scratch/page.c"
sed -n '/^```cpp$/,/^```$/{/^```/!p}' doc/library.md >"$scratch/page.cpp"
# shellcheck disable=SC2046  # pkg-config's flags are words
cc -std=c99 -Wall -Wextra -Wpedantic -Werror "$scratch/page.c" $(pkg-config --cflags --libs quenlo) \
    -o "$scratch/page-c"
# shellcheck disable=SC2046
c++ -std=c++20 -Wall -Wextra -Wpedantic -Werror "$scratch/page.cpp" $(pkg-config --cflags --libs quenlo) \
    -o "$scratch/page-cpp"
for program in page-c page-cpp; do
    LD_LIBRARY_PATH=$libdir "$scratch/$program" | cmp - <(printf 'name=Jane Doe\r\nnote=Tom & Jerry\r\n')
done
echo "both print the page's text"

step "examples/library built with find_package(quenlo) and with pkg-config"
cmake -S examples/library -B "$scratch/example" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS=-Werror \
    -DCMAKE_CXX_FLAGS=-Werror >/dev/null
cmake --build "$scratch/example" -j2 >/dev/null
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror examples/library/decode.c $(pkg-config --cflags --libs quenlo) \
    -o "$scratch/decode-c"
for program in "$scratch/example/decode-cpp" "$scratch/decode-c" "$scratch/example/decode-c-static"; do
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(libquenlo.*\)\]/\1/p')
    want=libquenlo.so.1
    [[ $program == *static ]] && want=
    [ "$needed" = "$want" ] || { echo "${program##*/} needs \"$needed\", not \"$want\"" >&2; exit 1; }
done
echo "decode-cpp and decode-c load libquenlo.so.1; decode-c-static carries the decoder"

# The bundled example, and 4 MB of form data: several pieces for the program's
# workers, hundreds for the examples, escapes and CR LF cut between them.
form_input "$scratch/form.txt" 4000000
for input in examples/contact-form.txt "$scratch/form.txt"; do
    step "Decoding ${input##*/}: the examples against the installed quenlo"
    "$prefix/bin/quenlo" "$input" >"$scratch/expected" 2>/dev/null
    for run in "$scratch/example/decode-cpp" "$scratch/example/decode-c-static" "$scratch/decode-c" \
               "python3 examples/library/decode.py"; do
        extra=()
        [[ $run == python3* ]] && extra=("$libdir/libquenlo.so.1")
        LD_LIBRARY_PATH=$libdir $run "$input" "${extra[@]}" 2>"$scratch/log" >"$scratch/text"
        cmp "$scratch/text" "$scratch/expected"
        grep -qx "libquenlo $version, kernel $kernel" "$scratch/log" ||
            { echo "${run##*/}: \"$(cat "$scratch/log")\", not libquenlo $version, kernel $kernel" >&2; exit 1; }
        echo "${run##*/}: $(cat "$scratch/log"): $(wc -c <"$scratch/text") bytes, the same as quenlo's"
    done
done
