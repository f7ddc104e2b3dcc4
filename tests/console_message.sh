#!/bin/sh
# The Windows program's "cannot open" message in a console window, under
# Wine on a pseudo-terminal (script): the console's UTF-16 API shows the
# Japanese text and the path exactly, whatever the code page, on a line of
# its own. Wine's console turns the text into the terminal's encoding
# (UTF-8 here) and adds escape sequences of its own, which are dropped.
# Usage: console_message.sh WINE_LOADER QUENLO_EXE
set -eu
wine=$1 exe=$2
missing='missing ü 表.txt'
expected="ファイル [$missing] が開けません."
shown=$(LC_ALL=C.UTF-8 script -qec "'$wine' '$exe' '$missing'" /dev/null </dev/null |
        sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d '\r')
# The message alone on its line: ended before anything else comes.
if printf '%s\n' "$shown" | grep -qxF "$expected"; then
    echo "shown as it should be: $expected"
else
    printf 'expected a line\n  %s\ngot\n%s\n' "$expected" "$shown" >&2
    exit 1
fi
