#!/usr/bin/env bash
# Installs a package with its full user interface on a virtual screen and chooses on hostgate's
# dialog as a person would: clicks a function's radio button, then Next, then Install. With
# several choices it goes Back from the dialog that Next opened after each but the last and
# chooses again. Works for any package: the dialogs, their titles and their buttons are read
# from the package's own Dialog, Control and ControlEvent tables.
#   choose.sh PREFIX PACKAGE LOG CHOICE...
# PREFIX is the Wine prefix, PACKAGE the .msi or the setup program beside it
# (hostgate-setup.exe, which installs the support packages first), a path on this machine,
# or an installed product's code ({...}: a change as Programs and Features starts it);
# LOG a Windows path for the verbose log, each CHOICE a radio button's place on the dialog
# (1 = the first function offered) or "-" to go on with the function the dialog shows chosen,
# clicking none. Prints "exit code N", the installer's whole result.
# Exits 77 when no display server can be started (needs Debian's xvfb and xdotool).
set -euo pipefail
prefix=$1 package=$2 log=$3
shift 3
for tool in Xvfb xdotool msiinfo; do
    command -v "$tool" >/dev/null || { echo "choose.sh: no display server: $tool is missing" >&2; exit 77; }
done
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# --- The package's dialogs ---------------------------------------------------------------
# The rows of a table, tab-separated, without the three header lines.
# The setup program installs the .msi beside it: the dialogs are that package's. A product
# code runs the package the installer cached for the product.
tables=$package
case $package in
*.exe | *.EXE) tables=$(ls "$(dirname "$package")"/*.msi | head -n 1) ;;
{*})
    tables=
    for cached in "$prefix/drive_c/windows/Installer/"*.msi; do
        msiinfo export "$cached" Property 2>/dev/null | tr -d '\r' | grep -xF "ProductCode	$package" >/dev/null && tables=$cached && break
    done
    [ -n "$tables" ] || { echo "choose.sh: product $package has no cached package" >&2; exit 2; } ;;
esac
table() { msiinfo export "$tables" "$1" | tr -d '\r' | tail -n +4; }
dialogs=$(table Dialog) controls=$(table Control) events=$(table ControlEvent) properties=$(table Property)
# The control of DIALOG whose event EVENT has ARGUMENT (ControlEvent: Dialog_ Control_ Event Argument).
control_with() {
    awk -F'\t' -v d="$1" -v e="$2" -v a="$3" '$1 == d && $3 == e && $4 == a { print $2; exit }' <<<"$events"
}
# The dialog that CONTROL of DIALOG opens (its NewDialog event).
opens() {
    awk -F'\t' -v d="$1" -v c="$2" '$1 == d && $2 == c && $3 == "NewDialog" { print $4; exit }' <<<"$events"
}
# A dialog's title as the installer shows it, [Property] references formatted, as an anchored
# pattern for xdotool.
title_pattern() {
    local title name value
    title=$(awk -F'\t' -v d="$1" '$1 == d { print $7; exit }' <<<"$dialogs")
    while [[ $title =~ \[([A-Za-z_][A-Za-z0-9_.]*)\] ]]; do
        name=${BASH_REMATCH[1]}
        value=$(awk -F'\t' -v p="$name" '$1 == p { print $2; exit }' <<<"$properties")
        title=${title//"[$name]"/$value}
    done
    printf '^%s$' "$(sed 's/[][\.*^$+?(){}|/]/\\&/g' <<<"$title")"
}
# The centre of a control and the dialog's size, in the dialog's own units: "X Y WIDTH HEIGHT".
place_of() {
    local size
    size=$(awk -F'\t' -v d="$1" '$1 == d { print $4, $5; exit }' <<<"$dialogs")
    awk -F'\t' -v d="$1" -v c="$2" -v size="$size" \
        '$1 == d && $2 == c { print int($4 + $6 / 2), int($5 + $7 / 2), size; exit }' <<<"$controls"
}

# hostgate fills this dialog: its Next runs AfterSelectFunction and opens the next dialog,
# whose Back leads here again and whose EndDialog Return installs.
choice=ZizeVEZAvaziva
next=$(control_with "$choice" DoAction AfterSelectFunction)
[ -n "$next" ] || { echo "choose.sh: no control of $choice runs AfterSelectFunction" >&2; exit 2; }
ready=$(opens "$choice" "$next")
back=$(control_with "$ready" NewDialog "$choice")
install=$(control_with "$ready" EndDialog Return)
for found in ready back install; do
    [ -n "${!found}" ] || { echo "choose.sh: no $found control found in the package's ControlEvent rows" >&2; exit 2; }
done
read -r choice_width choice_height < <(place_of "$choice" "$next" | cut -d' ' -f3,4)

# --- The virtual screen and the installer -------------------------------------------------
# The caller's screen (HOSTGATE_DISPLAY, a run of many installations) or one of our own.
# Wine's desktop process belongs to the prefix's server and draws every window: one that a
# program without this screen started (a silent installation before) keeps them off it.
runner='' screen=''
cleanup() {
    [ -n "$runner" ] && kill "$runner" 2>/dev/null
    [ -n "$screen" ] || return 0
    kill "$screen" 2>/dev/null
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
if [ -n "${HOSTGATE_DISPLAY:-}" ]; then
    export DISPLAY=$HOSTGATE_DISPLAY
    # The server stays; a desktop without this screen is ended, and the installer's first
    # window starts it again, on the screen.
    for desktop in $(pgrep -f 'explorer.exe /desktop' || true); do
        environment=$(tr '\0' '\n' <"/proc/$desktop/environ" 2>/dev/null) || continue
        grep -qxF "WINEPREFIX=$prefix" <<<"$environment" || continue
        grep -qxF "DISPLAY=$DISPLAY" <<<"$environment" && continue
        kill "$desktop" 2>/dev/null || true
        for _ in $(seq 1 100); do kill -0 "$desktop" 2>/dev/null && sleep 0.1; done
    done
else
    # shellcheck source=screen.sh
    . "$(dirname "$0")/screen.sh"
    virtual_screen
    screen=$screen_process
    [ -n "$screen_number" ] || { echo "choose.sh: no display server could be started" >&2; exit 77; }
    export DISPLAY=:$screen_number
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
fi

# Exit statuses are cut to 8 bits under Wine: a batch file reports the whole code.
printf '@echo off\r\nmsiexec %%*\r\necho exit code %%ERRORLEVEL%%\r\n' > "$prefix/drive_c/hostgate-run.bat"
printf '@echo off\r\n%%*\r\necho exit code %%ERRORLEVEL%%\r\n' > "$prefix/drive_c/hostgate-code.bat"
case $package in
*.exe | *.EXE) start=("$(wine winepath -w "$package" 2>/dev/null)" /l*v "$log") ;;
{*}) start=(msiexec /i "$package" /l*v "$log") ;;
*) start=(msiexec /i "$(wine winepath -w "$package" 2>/dev/null)" /l*v "$log") ;;
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
# Clicks WINDOW at a point given in the dialog's own units: click WINDOW X Y DIALOG_WIDTH DIALOG_HEIGHT.
click() {
    local X Y WIDTH HEIGHT WINDOW SCREEN
    eval "$(xdotool getwindowgeometry --shell "$1")"
    xdotool mousemove $((X + $2 * WIDTH / $4)) $((Y + $3 * HEIGHT / $5)) click 1
    sleep 0.5
    # HOSTGATE_SHOTS=PREFIX keeps a picture of the screen after each click.
    if [ -n "${HOSTGATE_SHOTS:-}" ]; then
        xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng >"$HOSTGATE_SHOTS.$(date +%s%N).png" || true
    fi
}
# Waits until WINDOW has left the screen: the dialog a pressed button closed. The next one may
# bear the same title, and a busy machine may take a while to put it up.
gone() {  # gone WINDOW
    for _ in $(seq 1 120); do
        xdotool search --onlyvisible --name '' 2>/dev/null | grep -qx "$1" || return 0
        sleep 0.5
    done
    echo "choose.sh: window $1 stayed on the screen" >&2
    return 1
}
# Clicks a control of the package's Control table: press WINDOW DIALOG CONTROL.
press() {
    # shellcheck disable=SC2046  # the place is four words
    click "$1" $(place_of "$2" "$3")
}

choice_title=$(title_pattern "$choice") ready_title=$(title_pattern "$ready")
count=$#
index=0
for place in "$@"; do
    index=$((index + 1))
    dialog=$(window "$choice_title")
    # hostgate's choice group sits at (18, 120); its buttons fill columns of five, 174 units
    # wide and 20 apart, in the order the functions are offered.
    if [ "$place" != - ]; then
        button=$((place - 1))
        click "$dialog" $((18 + button / 5 * 174 + 10)) $((120 + button % 5 * 20 + 8)) "$choice_width" "$choice_height"
    fi
    press "$dialog" "$choice" "$next"
    gone "$dialog"
    shown=$(window "$ready_title")
    if [ "$index" -lt "$count" ]; then
        press "$shown" "$ready" "$back"
        gone "$shown"
    else
        press "$shown" "$ready" "$install"
    fi
done
wait "$runner" || true
runner=
tr -d '\r' <"$output" | grep '^exit code ' || echo "exit code unknown"
rm -f "$output"
