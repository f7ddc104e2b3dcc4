#!/usr/bin/env bash
# Makes 32-bit x86 Linux programs run here: 32-bit Wine's loader is one.
# A kernel without IA-32 emulation refuses them ("Exec format error"); there,
# qemu-i386-static is registered with binfmt_misc to run them. With Debian
# 12's QEMU 7.2 that runs the loader, but 32-bit Windows programs then fail
# to start (doc/building.md, "Windows"), and the 32-bit smoke check says so.
# Nothing is registered when the loader already runs, nor when an entry named
# qemu-i386 exists; the other entries are never touched.
# QUENLO_I386_VIA_QEMU=1 registers even where they run natively, to time the
# emulated path; do that in a private binfmt_misc (see doc/building.md).
# Needs: wine32:i386 (after dpkg --add-architecture i386), qemu-user-static.
set -euo pipefail

loader=/usr/lib/wine/wine
qemu=/usr/bin/qemu-i386-static
binfmt=/proc/sys/fs/binfmt_misc

runs() { "$loader" --version >/dev/null 2>&1; }

if [ ! -x "$loader" ]; then
    echo "no 32-bit Wine loader at $loader: install wine32:i386" >&2
    exit 1
fi
if [ "${QUENLO_I386_VIA_QEMU:-}" != 1 ] && runs; then
    echo "32-bit programs run natively: nothing to register"
    exit 0
fi

[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
if [ -e "$binfmt/qemu-i386" ]; then
    echo "binfmt_misc already has a qemu-i386 entry: left as it is"
else
    if [ ! -x "$qemu" ]; then
        echo "no $qemu: install qemu-user-static" >&2
        exit 1
    fi
    # qemu's own i386 ELF pattern (executables and shared objects). F opens
    # the interpreter now, so it is found from any mount namespace.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
        >"$binfmt/register"
    echo "registered qemu-i386 with binfmt_misc"
fi
if ! runs; then
    echo "$loader still does not run (is the qemu-i386 entry disabled?)" >&2
    exit 1
fi
