#!/usr/bin/env bash
# hostgate-setup.exe end to end, in a prefix of its own, with Wine's installer engine: the
# sample's runtime installed before the sample, each package's log appended to the program's
# own after a line that names it, nothing installed twice, a failing support package stopping
# the chain, a restart asked for by a support package or the package said on standard error,
# the package beside the program taken or refused, bad input (damaged packages among it)
# refused before anything is installed, and DLLs named like Windows' own, planted beside the
# program, never loaded.
# (A restart started, 1641, is the decisions test's: Wine's engine answers 1604 to ForceReboot.)
#   setup_test.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=msiexec_helpers.sh
. "$root/tests/msiexec_helpers.sh"
road_folders "$1" setup
sample='{6F1D4C7A-2B3E-4C59-9A61-0D7E5B8C2F11}'
runtime='{9C2B7E44-1D3A-4F6B-8E2C-5A4D3B2C1E07}'
failures=0
check() {  # check DESCRIPTION CONDITION...
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

rm -rf "$work"
fresh_prefix
mkdir -p "$work/source/support"
# The sample's host: two AutoCAD releases.
plant_hosts "R15.0 R16.0"
# The whole exit code (Wine cuts a process's status to 8 bits): a batch file reports it.
printf '@echo off\r\n%%*\r\necho exit code %%ERRORLEVEL%%\r\n' > "$drive_c/hostgate-code.bat"
setup() {  # setup SETUP_EXE ARGS...: prints the program's exit code; its output in $work/stdout and stderr
    local exe; exe=$(windows_path "$1"); shift
    wine_run cmd /c 'C:\hostgate-code.bat' "$exe" "$@" 2>"$work/stderr" | tr -d '\r' | tee "$work/stdout" | sed -n 's/^exit code //p'
}
windows() { windows_path "$1"; }
# The log's parts that are not the program's own lines, one line each: the package that the
# program's line before it names, then the package the installer's property dump names.
parts() {  # parts LOG
    tr -d '\r\0' <"$1" | awk '
        function package(line) { return match(line, /[^\\]*\.msi/) ? substr(line, RSTART, RLENGTH) : "none" }
        /^hostgate-setup: / { named = package($0); inside = 0; next }
        !inside { inside = 1; parts++; opened[parts] = named; dumped[parts] = "none" }
        /^Property\(S\): OriginalDatabase = / { dumped[parts] = package($0) }
        END { for (i = 1; i <= parts; i++) print opened[i], dumped[i] }'
}
# The first and the last line of a log are the program's.
framed() { tr -d '\r\0' <"$1" | sed -n '1p;$p' | grep -c '^hostgate-setup: ' | grep -qx 2; }
value() { wine_run reg query "HKCU\\Software\\Hostgate Setup Test" /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n {print $3}'; }

# Test packages from the sample runtime's tables: each writes HKCU\Software\Hostgate Setup
# Test, value NAME = installed. EXTRA is IDT text: whole tables, or rows for the sequence.
package() {  # package OUT.msi NAME [LAUNCH-CONDITION] [SEQUENCE-ROWS] [SUPPORT-ROWS] [PROPERTY-ROWS]
    local out=$1 name=$2 condition=${3:-} rows=${4:-} support=${5:-} properties=${6:-} dir
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
    printf '%s' "$properties" >>"$dir/Property.idt"
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
package "$s/self-reboot.msi" self_reboot "" $'ScheduleReboot\t\t6550\n' >/dev/null
package "$s/chain-missing.msi" chain_missing "" "" $'support\\absent.msi\t\n' >/dev/null
package "$s/chain-garbage.msi" chain_garbage "" "" $'support\\garbage.msi\t\n' >/dev/null
# A support program the package names for the setup program (the tests' stand-in, asking for a restart).
cp "$build/bin/record_call.exe" "$s/support/prog.exe"
package "$s/with-program.msi" with_program "" "" $'support\\prog.exe\t/exit 3010\n' $'HOSTGATE_SETUP_PROGRAMS\tsupport\\prog.exe\n' >/dev/null
# Damaged packages: one cut in half, a support package without its last sector (the
# chain lists a sound one before it).
package "$s/support/first.msi" first >/dev/null
package "$s/support/cut.msi" cut_support >/dev/null
truncate -s -512 "$s/support/cut.msi"
package "$s/cut.msi" cut_main >/dev/null
truncate -s $(($(stat -c %s "$s/cut.msi") / 2)) "$s/cut.msi"
package "$s/chain-cut.msi" chain_cut "" "" $'support\\first.msi\t\nsupport\\cut.msi\t\n' >/dev/null
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
check "nothing on standard error" test ! -s "$work/stderr"
check "the runtime is installed with its command line" test "$(wine_run reg query 'HKCU\Software\Hostgate Sample Runtime' /v Mode 2>/dev/null | tr -d '\r' | awk '/Mode/ {print $3}')" = shared
check "the sample is registered" registered "$sample"
check "RunSuportPacks found the runtime present" grep -q "RunSuportPacks: support package .*runtime.msi present: product $runtime" <<<"$log"
check "the log: the program's lines, then the runtime's log, then the sample's, each after a line naming it" \
    test "$(parts "$drive_c/setup/install.log" | paste -sd,)" = "runtime.msi runtime.msi,hostgate-sample.msi hostgate-sample.msi"
check "the log starts and ends with the program's lines" framed "$drive_c/setup/install.log"
check "no installer's log is left beside it: $(ls "$drive_c/setup")" test "$(ls "$drive_c/setup")" = install.log

echo "== The same again: nothing installed twice"
wine_run reg add 'HKCU\Software\Hostgate Sample Runtime' /v Mode /d untouched /f >/dev/null
rm -f "$drive_c/setup/"*.log
code=$(setup "$exe" /qn /l*v 'C:\setup\install.log')
check "exit code $code is 0" test "$code" = 0
check "the runtime was not installed again" test "$(wine_run reg query 'HKCU\Software\Hostgate Sample Runtime' /v Mode 2>/dev/null | tr -d '\r' | awk '/Mode/ {print $3}')" = untouched
check "the log holds the sample's log alone" \
    test "$(parts "$drive_c/setup/install.log" | paste -sd,)" = "hostgate-sample.msi hostgate-sample.msi"

echo "== A support package that fails stops the chain"
code=$(setup "$exe" "$win_s\\chain-fails.msi" /qn)
check "exit code $code is the failing package's 1603" test "$code" = 1603
check "the message names it" grep -q 'support.fails\.msi' "$work/stderr"
check "the support package before it is installed" test "$(value ok)" = installed
check "the package is not installed" test -z "$(value chain_fails)"

echo "== A restart asked for: one line on standard error and in the log, naming the package that asked"
# With /qb and the output redirected the line goes to standard error too: a message box
# would wait for a click that never comes.
while IFS='|' read -r package ui asked other; do
    code=$(setup "$exe" "$win_s\\$package" "$ui" /l*v 'C:\setup\restart.log')
    said=$(cat "$work/stderr")
    check "$package $ui: exit code $code is 3010" test "$code" = 3010
    check "$package $ui: one line, naming $asked${other:+ and not $other}: $said" \
        test "$(wc -l <"$work/stderr")" = 1 -a -n "$(grep -F "$asked" <<<"$said")" -a -z "${other:+$(grep -F "$other" <<<"$said")}"
    check "$package $ui: the same line in the log" grep -qxF "$said" <(tr -d '\r' <"$drive_c/setup/restart.log")
done <<CASES
chain-reboot.msi|/qn|setup test reboot|setup test chain_reboot
self-reboot.msi|/qb|setup test self_reboot|
CASES
check "the support package and the packages are installed" test "$(value reboot) $(value chain_reboot) $(value self_reboot)" = "installed installed installed"

echo "== A setup program: run before the package with the program's rights, its restart passed on, named to the package"
export HOSTGATE_CALLS='C:\setup\calls.log'
rm -f "$drive_c/setup/calls.log"
setup "$exe" "$win_s\\with-program.msi" --plan /qn >/dev/null
check "--plan shows the program's run" grep -qF '. run ' "$work/stdout"
check "--plan shows what the package is told" grep -qF 'HOSTGATE_PROGRAMS_RUN=support\prog.exe' "$work/stdout"
code=$(setup "$exe" "$win_s\\with-program.msi" /qn /l*v 'C:\setup\program.log')
check "exit code $code is the program's 3010" test "$code" = 3010
check "the program ran, once" test "$(grep -c '^start .*prog.exe" /exit 3010' "$drive_c/setup/calls.log" 2>/dev/null)" = 1
check "the package is installed" test "$(value with_program)" = installed
check "the package was told what ran" grep -q 'HOSTGATE_PROGRAMS_RUN = support.prog.exe' <(tr -d '\r\0' <"$drive_c/setup/program.log")

echo "== Bad input: a clear code, nothing installed"
while IFS='|' read -r expected args; do
    # shellcheck disable=SC2086  # the arguments are words
    code=$(setup "$exe" $args /qn)
    check "$args: exit code $code is $expected" test "$code" = "$expected"
done <<CASES
1639|/qz $win_s\\chain-reboot.msi
1639|$win_s\\chain-reboot.msi $win_s\\chain-fails.msi
1619|$win_s\\nothing-here.msi
1620|$win_s\\garbage.msi
1612|$win_s\\chain-missing.msi
1620|$win_s\\chain-garbage.msi
1620|$win_s\\cut.msi
1620|$win_s\\chain-cut.msi
1627|$deep_windows\\crash.msi
CASES
check "nothing of them installed" test -z "$(value chain_missing)$(value chain_garbage)$(value cut_main)$(value first)$(value chain_cut)"

echo "== No package named: the one beside the program, with DLLs named like Windows' own planted there"
# The loader is told to prefer the planted copies, and the folder is the current one, as
# when the program is started from a download folder.
one=$work/beside-one two=$work/beside-two
mkdir -p "$one" "$two"
cp "$exe" "$build/planted/"{msi,version,shlwapi,user32}.dll "$one/"
package "$one/main.msi" beside_main "" "" $'part.msi\t\n' >/dev/null
package "$one/part.msi" beside_part >/dev/null
code=$(cd "$one" && HOSTGATE_DLLOVERRIDES='msi,version,shlwapi,user32=n,b' setup "$one/hostgate-setup.exe" /qn)
check "exit code $code is 0" test "$code" = 0
check "it says it took main.msi" test -n "$(grep 'main\.msi' "$work/stdout")" -a -z "$(grep 'part\.msi' "$work/stdout")"
check "the support package and the package are installed" test "$(value beside_part) $(value beside_main)" = "installed installed"
check "no planted DLL was loaded: $(cd "$one" && ls ./*.loaded 2>/dev/null)" test -z "$(ls "$one"/*.loaded 2>/dev/null)"
cp "$exe" "$two/"
package "$two/a.msi" beside_a >/dev/null
package "$two/b.msi" beside_b >/dev/null
code=$(setup "$two/hostgate-setup.exe" /qn)
check "two unrelated packages: exit code $code is 1639" test "$code" = 1639
check "the message names both" test -n "$(grep 'a\.msi' "$work/stderr" | grep 'b\.msi')"
check "neither is installed" test -z "$(value beside_a)$(value beside_b)"

WINEPREFIX=$HOSTGATE_WINEPREFIX wineserver -k 2>/dev/null
echo "$failures failed"
[ "$failures" = 0 ]
