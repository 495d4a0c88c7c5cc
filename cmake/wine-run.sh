#!/usr/bin/env bash
# Runs a Windows program under Wine, in the build's own prefix (32-bit unless HOSTGATE_WINEARCH=win64).
#
# One wineserver is kept alive (30 s after the last program) with its standard streams on
# /dev/null. Otherwise every start pays for Wine's service processes, and those inherit the
# caller's output pipe and keep CTest waiting on it.
set -u
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${HOSTGATE_WINEPREFIX:-$here/../build/wineprefix}
export WINEARCH=${HOSTGATE_WINEARCH:-win32}
export WINEDEBUG=${WINEDEBUG:--all,err+module}
# HOSTGATE_DLLOVERRIDES adds overrides of a test's own (e.g. msi=n,b).
export WINEDLLOVERRIDES="mscoree,mshtml=${HOSTGATE_DLLOVERRIDES:+;$HOSTGATE_DLLOVERRIDES}"
unset DISPLAY

mkdir -p "$(dirname "$WINEPREFIX")"
(
    # Serialise server starts; the lock's descriptor is never passed on to Wine.
    flock 9
    if [ ! -d "$WINEPREFIX/drive_c" ]; then
        wineboot -i </dev/null >/dev/null 2>&1 9>&-
        wineserver -w </dev/null >/dev/null 2>&1 9>&-
    fi
    if wineserver -p30 </dev/null >/dev/null 2>&1 9>&-; then
        # A new server: let the prefix's services come up once, off the caller's pipes.
        wineboot </dev/null >/dev/null 2>&1 9>&-
    fi
) 9>"$WINEPREFIX.lock"

# Wine's desktop process, started on demand by a program that needs a window station,
# inherits that program's output and outlives it by about a second: a caller that reads the
# output through a pipe (CTest, $(...)) would wait for it each time. Files take the output.
out=$(mktemp) err=$(mktemp)
wine "$@" >"$out" 2>"$err"
status=$?
cat "$out"
cat "$err" >&2
rm -f "$out" "$err"
exit $status
