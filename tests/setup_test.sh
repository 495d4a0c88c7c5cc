#!/usr/bin/env bash
# hostgate-setup.exe end to end, in a prefix of its own, with Wine's installer engine: the
# sample's runtime installed before the sample, nothing installed twice, a failing support
# package stopping the chain, a restart request collected, bad input refused before anything
# is installed, and a DLL named like the installer's, planted beside the program, never loaded.
#   setup_test.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
export HOSTGATE_WINEPREFIX="$build/setup-prefix"
# shellcheck source=msiexec_helpers.sh
. "$root/tests/msiexec_helpers.sh"
work="$build/setup-test"
sample='{6F1D4C7A-2B3E-4C59-9A61-0D7E5B8C2F11}'
runtime='{9C2B7E44-1D3A-4F6B-8E2C-5A4D3B2C1E07}'
failures=0
check() {  # check DESCRIPTION CONDITION...
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

rm -rf "$HOSTGATE_WINEPREFIX" "$work"
mkdir -p "$work/source/support"
# The sample's host: two AutoCAD releases.
plant_hosts "R15.0 R16.0"
# The whole exit code (Wine cuts a process's status to 8 bits): a batch file reports it.
printf '@echo off\r\n%%*\r\necho exit code %%ERRORLEVEL%%\r\n' > "$drive_c/hostgate-code.bat"
setup() {  # setup SETUP_EXE ARGS...: prints the program's exit code
    local exe; exe=$(wine_run winepath -w "$1"); shift
    wine_run cmd /c 'C:\hostgate-code.bat' "$exe" "$@" 2>"$work/stderr" | tr -d '\r' | sed -n 's/^exit code //p'
}
windows() { wine_run winepath -w "$1"; }
value() { wine_run reg query "HKCU\\Software\\Hostgate Setup Test" /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n {print $3}'; }

# Test packages from the sample runtime's tables: each writes HKCU\Software\Hostgate Setup
# Test, value NAME = installed. EXTRA is IDT text: whole tables, or rows for the sequence.
package() {  # package OUT.msi NAME [LAUNCH-CONDITION] [SEQUENCE-ROWS] [SUPPORT-ROWS]
    local out=$1 name=$2 condition=${3:-} rows=${4:-} support=${5:-} dir
    dir=$(mktemp -d)
    cp "$root"/sample/runtime/*.idt "$dir"
    local code; code="{$(tr 'a-f' 'A-F' </proc/sys/kernel/random/uuid)}"
    sed -i "s/^ProductCode\t.*/ProductCode\t$code/; s/^ProductName\t.*/ProductName\tsetup test $name/" "$dir/Property.idt"
    sed -i "s/^RuntimeSettings\t{[^}]*}/RuntimeSettings\t{$(tr 'a-f' 'A-F' </proc/sys/kernel/random/uuid)}/" "$dir/Component.idt"
    printf 'Registry\tRoot\tKey\tName\tValue\tComponent_\ns72\ti2\tl255\tL255\tL0\ts72\nRegistry\tRegistry\nModeValue\t1\tSoftware\\Hostgate Setup Test\t%s\tinstalled\tRuntimeSettings\n' "$name" >"$dir/Registry.idt"
    if [ -n "$condition" ]; then
        printf 'Condition\tDescription\ns255\tl255\nLaunchCondition\tCondition\n%s\tsetup test %s refuses to install\n' "$condition" "$name" >"$dir/LaunchCondition.idt"
        rows+="LaunchConditions"$'\t\t'"100"$'\n'
    fi
    printf '%s' "$rows" >>"$dir/InstallExecuteSequence.idt"
    [ -n "$support" ] && printf 'Source\tCommandLine\ns255\tS255\nSuportPacks\tSource\n%s' "$support" >"$dir/SuportPacks.idt"
    for idt in "$dir"/*.idt; do sed -i 's/\r$//; s/$/\r/' "$idt"; done
    local args=(); for idt in "$dir"/*.idt; do args+=(-i "$(basename "$idt")"); done
    (cd "$dir" && msibuild "$out" "${args[@]}" -s "setup test" "hostgate tests" "Intel;1033" "{$(tr 'a-f' 'A-F' </proc/sys/kernel/random/uuid)}")
    rm -rf "$dir"
    echo "$code"
}
s=$work/source
package "$s/support/ok.msi" ok >/dev/null
package "$s/support/fails.msi" fails 0 >/dev/null
package "$s/support/reboot.msi" reboot "" $'ScheduleReboot\t\t6550\n' >/dev/null
printf 'not a package' >"$s/support/garbage.msi"
printf 'not a package' >"$s/garbage.msi"
package "$s/chain-fails.msi" chain_fails "" "" $'support\\ok.msi\t\nsupport\\fails.msi\t\n' >/dev/null
package "$s/chain-reboot.msi" chain_reboot "" "" $'support\\reboot.msi\t\n' >/dev/null
package "$s/chain-missing.msi" chain_missing "" "" $'support\\absent.msi\t\n' >/dev/null
package "$s/chain-garbage.msi" chain_garbage "" "" $'support\\garbage.msi\t\n' >/dev/null
# A path this long makes Wine's engine crash while it opens the package (a page fault).
deep="$s/$(printf 'd%.0s' {1..120})/$(printf 'e%.0s' {1..120})"
mkdir -p "$deep" && cp "$s/chain-reboot.msi" "$deep/crash.msi"
deep_windows="Z:${deep//\//\\}"  # winepath gives up on a path this long
exe="$build/sample/source/hostgate-setup.exe"
win_s=$(windows "$s")

echo "== The sample: its runtime first, then the sample"
mkdir -p "$drive_c/setup"
start=$(date +%s%N)
code=$(setup "$exe" /qn /l*v 'C:\setup\install.log')
echo "   took $((($(date +%s%N) - start) / 1000000)) ms"
log=$(tr -d '\r\0' <"$drive_c/setup/install.log" 2>/dev/null)
check "exit code $code is 0" test "$code" = 0
check "the runtime is installed with its command line" test "$(wine_run reg query 'HKCU\Software\Hostgate Sample Runtime' /v Mode 2>/dev/null | tr -d '\r' | awk '/Mode/ {print $3}')" = shared
check "the sample is registered" registered "$sample"
check "the runtime logged beside the main log" test -s "$drive_c/setup/install.1-runtime.log"
check "RunSuportPacks found the runtime present" grep -q "RunSuportPacks: support package .*runtime.msi present: product $runtime" <<<"$log"

echo "== The same again: nothing installed twice"
wine_run reg add 'HKCU\Software\Hostgate Sample Runtime' /v Mode /d untouched /f >/dev/null
rm -f "$drive_c/setup/"*.log
code=$(setup "$exe" /qn /l*v 'C:\setup\install.log')
check "exit code $code is 0" test "$code" = 0
check "the runtime was not installed again" test "$(wine_run reg query 'HKCU\Software\Hostgate Sample Runtime' /v Mode 2>/dev/null | tr -d '\r' | awk '/Mode/ {print $3}')" = untouched
check "no runtime log" test ! -e "$drive_c/setup/install.1-runtime.log"

echo "== A support package that fails stops the chain"
code=$(setup "$exe" "$win_s\\chain-fails.msi" /qn)
check "exit code $code is the failing package's 1603" test "$code" = 1603
check "the message names it" grep -q 'support.fails\.msi' "$work/stderr"
check "the support package before it is installed" test "$(value ok)" = installed
check "the package is not installed" test -z "$(value chain_fails)"

echo "== A support package asking for a restart"
code=$(setup "$exe" "$win_s\\chain-reboot.msi" /qn)
check "exit code $code is 3010" test "$code" = 3010
check "the support package and the package are installed" test "$(value reboot) $(value chain_reboot)" = "installed installed"

echo "== Bad input: a clear code, nothing installed"
while IFS='|' read -r expected args; do
    # shellcheck disable=SC2086  # the arguments are words
    code=$(setup "$exe" $args /qn)
    check "$args: exit code $code is $expected" test "$code" = "$expected"
done <<CASES
1639|/qz $win_s\\chain-reboot.msi
1639|$win_s\\chain-reboot.msi $win_s\\chain-fails.msi
1619|$win_s\\nothing-here.msi
1619|$win_s\\garbage.msi
1612|$win_s\\chain-missing.msi
1620|$win_s\\chain-garbage.msi
1627|$deep_windows\\crash.msi
CASES
check "nothing of them installed" test -z "$(value chain_missing)$(value chain_garbage)"

echo "== A DLL named like the installer's, beside the program, preferred by the loader"
mkdir -p "$work/planted"
check "the program and the DLL are planted" cp "$exe" "$build/planted/msi.dll" "$work/planted/"
code=$(HOSTGATE_DLLOVERRIDES='msi=n,b' setup "$work/planted/hostgate-setup.exe" "$win_s\\chain-reboot.msi" --plan /qn)
check "exit code $code is 0" test "$code" = 0
check "the planted DLL was not loaded" test ! -e "$work/planted/msi.dll.loaded"

WINEPREFIX=$HOSTGATE_WINEPREFIX wineserver -k 2>/dev/null
echo "$failures failed"
[ "$failures" = 0 ]
