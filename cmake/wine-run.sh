#!/bin/sh
# The Windows builds' test emulator: wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# WINEARCH (win64 or win32) chooses the prefix and the loader: the 64-bit one
# for win64, or Debian's `wine` would take the 32-bit one once wine32 is
# installed; the 32-bit one for win32, which then runs without any 64-bit part.
#
# Wine's helper processes (wineserver, services, explorer) outlive the program
# and inherit its file descriptors; if they hold ctest's output pipe, ctest
# waits for them. So the server and the prefix are started once, detached
# from our descriptors, and the program's output goes through a file that
# only this script passes on.
set -eu

if [ $# -lt 2 ]; then
    echo "usage: wine-run.sh PREFIX PROGRAM [ARGUMENTS...]" >&2
    exit 2
fi
prefix=$1
shift
case $prefix in
/*) ;;
*) echo "wine-run.sh: the Wine prefix must be an absolute path: $prefix" >&2; exit 2 ;;
esac
loader=wine
if [ "${WINEARCH:-}" = win64 ]; then
    if [ -x /usr/lib/wine/wine64 ]; then loader=/usr/lib/wine/wine64
    elif command -v wine64 >/dev/null 2>&1; then loader=wine64
    fi
fi
for tool in "$loader" wineserver setsid flock; do
    command -v "$tool" >/dev/null 2>&1 || { echo "wine-run.sh: '$tool' is not installed" >&2; exit 2; }
done
# A loader the kernel cannot execute (wine32 where i386 programs cannot run)
# fails here, with the reason, rather than as a prefix that never starts.
if ! version=$("$loader" --version 2>&1); then
    echo "wine-run.sh: $loader cannot run: $version" >&2
    exit 2
fi

export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko install prompts in a fresh prefix.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

mkdir -p "$prefix"
# One starter at a time (ctest -j); the others wait for the prefix to exist.
exec 9>"$prefix.lock"
flock 9
if ! wineserver -k0 2>/dev/null; then
    start=$(date +%s%N)
    # Stays up for a minute after the last program ends, so every test of a
    # run shares one server; later runs start it again here.
    setsid wineserver -p60 </dev/null >/dev/null 2>&1 9>&-
    if ! [ -f "$prefix/system.reg" ]; then
        setsid "$loader" wineboot --init </dev/null >"$prefix.boot.log" 2>&1 9>&- || {
            echo "wine-run.sh: could not create the Wine prefix (see $prefix.boot.log)" >&2
            exit 2
        }
        millis=$(( ($(date +%s%N) - start) / 1000000 ))
        echo "$millis ms" >"$prefix.first-start"
        echo "wine-run.sh: new Wine prefix $prefix started in $millis ms" >&2
    fi
fi
flock -u 9
exec 9>&-

output=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
errors=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$output" "$errors"' EXIT
status=0
"$loader" "$@" </dev/null >"$output" 2>"$errors" || status=$?
# A program that failed without a byte on stdout or stderr never started
# (every test program prints its banner first): the loader met a Wine
# server on its way out (twice in about 900 test runs). Once more, with the
# server started again if it has gone.
if [ "$status" -ne 0 ] && [ ! -s "$output" ] && [ ! -s "$errors" ]; then
    wineserver -k0 2>/dev/null || setsid wineserver -p60 </dev/null >/dev/null 2>&1
    status=0
    "$loader" "$@" </dev/null >"$output" 2>"$errors" || status=$?
fi
cat "$output"
cat "$errors" >&2
exit "$status"
