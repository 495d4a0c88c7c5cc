#!/usr/bin/env bash
# The sample installed as a person installs it: full user interface on a virtual screen, a
# function clicked on the choice dialog, then Back and another one chosen. Whatever was
# chosen last decides the features, read from the disk and the installer's own log. With
# AutoCAD 2000 and 2004 installed, Editor (which needs 2004 or later) switches the 2000
# integration off and Viewer, chosen after it, must bring it back.
#   interactive_test.sh BUILD_DIR        (exit 77: skipped, no display server)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=msiexec_helpers.sh
. "$root/tests/msiexec_helpers.sh"
road_folders "$1" interactive
installed="$HOSTGATE_WINEPREFIX/drive_c/Program Files/Hostgate Sample"
product='{6F1D4C7A-2B3E-4C59-9A61-0D7E5B8C2F11}'

fresh_prefix
start_screen
plant_hosts "R15.0 R16.0"
source_dir=$(windows_path "$build/sample/source")

failures=0
# choices on the dialog | FUNCTION_VER the engine ends with | files installed
while IFS='|' read -r choices value files; do
    log="$HOSTGATE_WINEPREFIX/drive_c/interactive.log"
    rm -f "$log"
    # shellcheck disable=SC2086  # the choices are words
    result=$("$root/sample/choose.sh" "$HOSTGATE_WINEPREFIX" "$build/sample/source/hostgate-sample.msi" 'C:\interactive.log' $choices)
    status=$?
    if [ "$status" = 77 ]; then echo "SKIPPED: no display server could be started"; exit 77; fi
    got=$(cd "$installed" 2>/dev/null && ls | tr '\n' ' ')
    chosen=$(tr -d '\r' <"$log" 2>/dev/null | sed -n 's/^Property(S): FUNCTION_VER = //p' | tail -n 1)
    if [ "$result" = "exit code 0" ] && [ "$got" = "$files" ] && [ "$chosen" = "$value" ]; then
        echo "ok: buttons $choices: $result, FUNCTION_VER = $chosen, installed: $got"
    else
        echo "FAILED: buttons $choices: expected exit code 0, FUNCTION_VER = $value, installed: $files"
        echo "        got $result, FUNCTION_VER = $chosen, installed: $got"
        failures=$((failures + 1))
    fi
    # Through the batch file: it waits for msiexec and reports its whole result.
    removed=$(wine_run cmd /c 'C:\hostgate-run.bat' /x "$product" /qn 2>/dev/null | tr -d '\r')
    if [ "$removed" != "exit code 0" ] || [ -d "$installed" ]; then
        echo "FAILED: uninstall: $removed, files left: $(ls "$installed" 2>/dev/null | tr '\n' ' ')"
        failures=$((failures + 1))
        rm -rf "$installed"
    fi
done <<'CASES'
2 1|viewer|acad2000.txt acad2004.txt core.txt viewer.txt 
1 2|EDITOR-PRO|acad2004.txt core.txt editor.txt 
CASES
rules_verdict || failures=$((failures + 1))
WINEPREFIX=$HOSTGATE_WINEPREFIX wineserver -k 2>/dev/null
[ "$failures" = 0 ]
