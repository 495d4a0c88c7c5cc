#!/usr/bin/env bash
# Installs the sample with its full user interface on a virtual screen and chooses on its
# dialog as a person would: clicks a function's radio button, then Next, then Install. With
# several choices it goes Back from the ready dialog after each but the last and chooses again.
#   choose.sh PREFIX PACKAGE LOG CHOICE...
# PREFIX is the Wine prefix, PACKAGE and LOG are Windows paths (PACKAGE may be the setup
# program, hostgate-setup.exe, which installs the support packages first), each CHOICE is a radio
# button's place on the dialog (1 = the first function offered). Prints "exit code N", the
# installer's whole result. Exits 77 when no display server can be started (needs Debian's
# xvfb and xdotool).
set -euo pipefail
prefix=$1 package=$2 log=$3
shift 3
for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "choose.sh: no display server: $tool is missing" >&2; exit 77; }
done
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Xvfb picks a free display and writes its number to the pipe.
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
screen=$!
number=
read -r -t 20 number <"$fifo" || true
rm -f "$fifo"
runner=
cleanup() {
    [ -n "$runner" ] && kill "$runner" 2>/dev/null
    kill "$screen" 2>/dev/null
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
[ -n "$number" ] || { echo "choose.sh: no display server could be started" >&2; exit 77; }
export DISPLAY=:$number
# Wine's desktop process belongs to the prefix's server: one started without this display
# would keep every window off the screen.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true

# Exit statuses are cut to 8 bits under Wine: a batch file reports the whole code.
printf '@echo off\r\nmsiexec %%*\r\necho exit code %%ERRORLEVEL%%\r\n' > "$prefix/drive_c/hostgate-run.bat"
printf '@echo off\r\n%%*\r\necho exit code %%ERRORLEVEL%%\r\n' > "$prefix/drive_c/hostgate-code.bat"
case $package in
*.exe | *.EXE) start=("$package" /l*v "$log") ;;
*) start=(msiexec /i "$package" /l*v "$log") ;;
esac
output=$(mktemp)
timeout 300 wine cmd /c 'C:\hostgate-code.bat' "${start[@]}" </dev/null >"$output" 2>/dev/null &
runner=$!

# The id of the visible window whose title matches, once it is up (60 s at most).
window() {
    local id
    for _ in $(seq 1 120); do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true)
        if [ -n "$id" ]; then sleep 1; echo "$id"; return 0; fi
        sleep 0.5
    done
    echo "choose.sh: no window \"$1\" appeared" >&2
    return 1
}
# Clicks a point given in the dialog's own units (both dialogs are 370 x 270).
click() {
    local X Y WIDTH HEIGHT WINDOW SCREEN
    eval "$(xdotool getwindowgeometry --shell "$1")"
    xdotool mousemove $((X + $2 * WIDTH / 370)) $((Y + $3 * HEIGHT / 270)) click 1
    sleep 0.5
    # HOSTGATE_SHOTS=PREFIX keeps a picture of the screen after each click.
    if [ -n "${HOSTGATE_SHOTS:-}" ]; then
        xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng >"$HOSTGATE_SHOTS.$(date +%s%N).png" || true
    fi
}

count=$#
index=0
for choice in "$@"; do
    index=$((index + 1))
    dialog=$(window 'Setup$')
    # Buttons fill columns of five, 174 units wide and 20 apart, in a group at (18, 120).
    place=$((choice - 1))
    click "$dialog" $((18 + place / 5 * 174 + 10)) $((120 + place % 5 * 20 + 8))
    click "$dialog" 264 251  # Next
    ready=$(window 'Setup: ready$')
    if [ "$index" -lt "$count" ]; then
        click "$ready" 200 251  # Back
    else
        click "$ready" 264 251  # Install
    fi
done
wait "$runner" || true
runner=
tr -d '\r' <"$output" | grep '^exit code ' || echo "exit code unknown"
rm -f "$output"
