#!/usr/bin/env bash
# Installs the sample add-on in a fresh Wine prefix with a simulated AutoCAD through the setup
# program beside it (hostgate-setup.exe installs the missing support runtime, then the
# sample), prints what happened, then uninstalls both and shows that nothing is left. Silent
# by default; with --choose the installer shows its dialog on a virtual screen and the given
# radio buttons are clicked in turn (Back between them), as a person would.
#   demo.sh BUILD_DIR [PROPERTY=VALUE ...]     e.g. FUNCTION_VER=EDITOR-PRO
#   demo.sh BUILD_DIR --choose N [N ...]       e.g. --choose 2 (Editor), --choose 2 1
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd); shift
choices=()
if [ "${1:-}" = --choose ]; then
    shift
    choices=("$@")
    set --
    [ ${#choices[@]} -gt 0 ] || { echo "demo.sh: --choose needs the place of a radio button (1, 2, ...)" >&2; exit 2; }
fi
export HOSTGATE_WINEPREFIX="$build/demo-prefix"
wine_run() { "$root/cmake/wine-run.sh" "$@" </dev/null; }
drive_c="$HOSTGATE_WINEPREFIX/drive_c"
product='{6F1D4C7A-2B3E-4C59-9A61-0D7E5B8C2F11}'
runtime='{9C2B7E44-1D3A-4F6B-8E2C-5A4D3B2C1E07}'
installed="$drive_c/Program Files/Hostgate Sample"
inf_name=hostgate-demo.inf

echo "== Preparing a Wine prefix with a simulated host"
rm -rf "$HOSTGATE_WINEPREFIX"
wine_run reg add 'HKLM\Software\Autodesk\AutoCAD\R15.0' /v CurVer /d 'ACAD-1:409' /f >/dev/null
wine_run reg add 'HKLM\Software\Autodesk\AutoCAD\R15.0\ACAD-1:409' /v ProductName /d 'AutoCAD 2000' /f >/dev/null
wine_run reg add 'HKCU\Software\Autodesk\AutoCAD\R16.0' /v CurVer /d 'ACAD-201:409' /f >/dev/null
wine_run reg add 'HKCU\Software\Autodesk\AutoCAD\R16.0\ACAD-201:409' /v ProductName /d 'AutoCAD 2004' /f >/dev/null
echo "   AutoCAD R15.0 (per machine) and R16.0 (per user) installed; R17.0 is not"
mkdir -p "$drive_c/windows/system32/Setup/Aladdin/eToken"
printf '[Version]\r\nSignature="$Windows NT$"\r\n' > "$drive_c/windows/system32/Setup/Aladdin/eToken/$inf_name"
echo "   driver file system32\\Setup\\Aladdin\\eToken\\$inf_name planted"

source_dir=$(wine_run winepath -w "$build/sample/source")
setup="$source_dir\\hostgate-setup.exe"
echo "   support runtime not installed: the setup program installs it first"

# Exit statuses are cut to 8 bits under Wine: a batch file reports the whole code.
printf '@echo off\r\n%%*\r\necho exit code %%ERRORLEVEL%%\r\n' > "$drive_c/hostgate-code.bat"
run_code() { { wine_run cmd /c 'C:\hostgate-code.bat' "$@" 2>/dev/null || true; } | tr -d '\r' | sed -n 's/^exit code //p'; }

echo
if [ ${#choices[@]} -gt 0 ]; then
    echo "== Installing with the dialog: hostgate-setup.exe /l*v C:\\install.log; buttons clicked: ${choices[*]}"
    code=$("$root/sample/choose.sh" "$HOSTGATE_WINEPREFIX" "$build/sample/source/hostgate-setup.exe" 'C:\install.log' "${choices[@]}" |
        sed -n 's/^exit code //p') || { echo "   no display server: install xvfb and xdotool"; exit 1; }
else
    echo "== Installing: hostgate-setup.exe /qn /l*v C:\\install.log $*"
    echo "   its plan:"
    wine_run "$setup" --plan /qn 2>/dev/null | tr -d '\r' | sed 's/^/   /'
    code=$(run_code "$setup" /qn /l*v 'C:\install.log' "$@")
fi
log="$drive_c/install.log"
prop() { sed -n "s/^Property(S): $1 = //p" "$log" | tail -n 1 | tr -d '\r'; }

echo
echo "== Report"
echo "Host releases (AutoCAD table):"
for release in ACAD2000:R15.0 ACAD2004:R16.0 ACAD2007:R17.0; do
    property=${release%%:*} key=${release#*:}
    value=$(prop "$property")
    printf '   %-6s %-9s %s\n' "$key" "$property" "${value:-not found}"
done
echo "Functions offered:"
grep -a -E "hostgate PrevInstall: (offered function|function .* not offered)" "$log" |
    sed 's/^hostgate PrevInstall: /   /' | tr -d '\r' || true
echo "Function chosen: FUNCTION_VER = $(prop FUNCTION_VER)"
echo "Features:"
for feature in core viewer editor network acad2000 acad2004 acad2007; do
    if [ -f "$installed/$feature.txt" ]; then state="installed  ($feature.txt on disk)"; else state="not installed"; fi
    printf '   %-9s %s\n' "$feature" "$state"
done
echo "Support program:"
if [ -f "$drive_c/hostgate-sample-tool.txt" ]; then
    sed 's/^/   /' "$drive_c/hostgate-sample-tool.txt" | tr -d '\r'
else
    echo "   did not run"
fi
echo "Support package (Hostgate Sample Runtime):"
mode=$(wine_run reg query 'HKCU\Software\Hostgate Sample Runtime' /v Mode 2>/dev/null | tr -d '\r' | awk '/Mode/ {print $3}')
echo "   installed by hostgate-setup.exe before the sample, Mode = ${mode:-not installed} (its CommandLine: RUNTIME_MODE=shared)"
grep -a "hostgate RunSuportPacks: support package" "$log" | sed 's/^hostgate RunSuportPacks: /   RunSuportPacks: /' | tr -d '\r' || true
echo "INF files:"
if [ -f "$drive_c/windows/inf/$inf_name" ]; then echo "   $inf_name copied into C:\\windows\\inf"; else echo "   $inf_name not copied"; fi
registered=$(wine_run reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product" >/dev/null 2>&1 && echo yes || echo no)
echo "Product registered: $registered"
echo "Exit code: $code"

echo
echo "== Uninstalling"
ucode=$(run_code msiexec /x "$product" /qn)
wine_run msiexec /x "$runtime" /qn || echo "   (support runtime removal: msiexec exit status $?)"
left=$( { find "$installed" -type f 2>/dev/null || true; } | wc -l)
registered=$(wine_run reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product" >/dev/null 2>&1 && echo yes || echo no)
echo "   exit code $ucode; files left: $left; product still registered: $registered"
if [ -n "${HOSTGATE_DEMO_PICTURE:-}" ]; then
    echo
    echo "== The choice dialog"
    "$root/sample/picture.sh" "$build" "$build/sample/dialog.png"
fi
[ "$code" = 0 ] && [ "$ucode" = 0 ] && [ "$left" = 0 ] && [ "$registered" = no ]
