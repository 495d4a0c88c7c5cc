#!/usr/bin/env bash
# Host releases in both registry views of a 64-bit Wine prefix, one real msiexec installation
# per step, each step on the machine the step before left. Wide Tools (tests/packages/
# wide-tools) carries the 32-bit DLL; each release's feature holds a registration component
# for each place a host lives (64-bit view, 32-bit view, per user), conditioned on the release
# property's companions (ACADxxxx_ROOT, ACADxxxx_VIEW) and transitive. After each step the
# files, the Applications\WideTools keys in both views and per user, the product's
# registration and, where the row names them, the views the log gives each release found are
# compared with what the row expects. Every step runs and prints PASS or FAIL.
#   wow64_test.sh BUILD_DIR [PATTERN]   (PATTERN, grep -E, keeps the rows that match)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pattern=${2:-}
export HOSTGATE_WINEARCH=win64
# shellcheck source=msiexec_helpers.sh
. "$root/tests/msiexec_helpers.sh"
road_folders "$1" wow64-roads
source_dir="$build/packages/wide-tools/source"

# --- The packages ---------------------------------------------------------------------------------
# name: package file, product code, the folder its files go to.
declare -A msi=([wide]=wide-tools.msi [wide-user]=wide-tools-user.msi [wide-x86]=wide-tools-x86.msi [control]=wide-tools-control.msi)
declare -A code=([wide]=01 [wide-user]=02 [wide-x86]=03 [control]=04)
declare -A folder=([wide]="Program Files" [wide-user]="Program Files" [wide-x86]="Program Files (x86)" [control]="Program Files")
product_code() { echo "{5D0E7A31-9C41-4E0B-A6D2-7F3B1C8E5A${code[$1]}}"; }
# The release property of each release the package names, and its current sub-release.
declare -A property=([R14.0]=ACAD14 [R15.0]=ACAD2000 [R16.0]=ACAD2004)
declare -A current=([R14.0]=ACAD-0:409 [R15.0]=ACAD-1:409 [R16.0]=ACAD-201:409)

# --- The steps and what each must leave -----------------------------------------------------------
# Hosts: RELEASE@PLACE, PLACE 32 or 64 (HKLM in that registry view) or user (HKCU, one key for
# both views); a host that stays keeps its key tree, with what the package wrote under it, and
# a release not listed in a place has had its tree deleted there, as its uninstaller does. Roads: install = msiexec /i PACKAGE /qn ARGUMENTS; repair = the same with
# REINSTALL=ALL REINSTALLMODE=vomus; remove = msiexec /x PACKAGE /qn. The control package has no
# hostgate actions: every road gives it the release properties and companions of the hosts
# listed, as hostgate would set them. "deleted": a payload file deleted before the step.
# Files: the names (less ".txt") in the package's own folder; keys: RELEASE@PLACE for an
# Applications\WideTools key under the release's current sub-release, LOADER naming the
# release's file; registered: the product's context (machine or user); views: each release as
# the log names its view (32, 64 or shared), checked where given.
#
# control: the engine alone places each registration row in the view of its component.
# machine (64-bit package, per machine): a 32-bit host (R14.0) and a 64-bit host (R15.0); the
#   32-bit registration removed by a change while its host stays; R14.0 replaced by a 64-bit
#   build (a change adds its feature back with the 64-bit registration); R15.0 replaced by a
#   32-bit build, a repair follows it (transitive components) and restores a deleted file;
#   the uninstall, with every host still there and a 32-bit build of R14.0 added beside its
#   64-bit one (hostgate now finds R14.0 in the 32-bit view), leaves nothing in either view:
#   the components' conditions hold during a removal (OR REMOVE~="ALL"), which Wine's engine
#   needs to remove a component at all.
# user (64-bit package, per user): a per-machine host and a per-user host, then a per-machine
#   release name found per user and a per-user release name found per machine: the
#   registration follows where the host is (ACADxxxx_ROOT), not the release's name.
# x86 (32-bit package): the log gives each release's view; the package has no 64-bit
#   registration component (its rows could not reach the 64-bit view), so the 64-bit host
#   gets none.
#
# road | package | hosts | deleted | msiexec | arguments | files | keys | registered | views
steps=$(cat <<'STEPS'
control|control|R14.0@32 R15.0@64||install|ADDLOCAL=Core,Host14,Host15|core host14 host15|R14.0@32 R15.0@64|machine|
control|control|R14.0@32 R15.0@64||remove||||
machine|wide|R14.0@32 R15.0@64||install||core host14 host15 tools|R14.0@32 R15.0@64|machine|R14.0=32 R15.0=64
machine|wide|R14.0@32 R15.0@64||install|REMOVE=Host14|core host15 tools|R15.0@64|machine|
machine|wide|R14.0@64 R15.0@64||install||core host14 host15 tools|R14.0@64 R15.0@64|machine|R14.0=64 R15.0=64
machine|wide|R14.0@64 R15.0@32|host14|repair||core host14 host15 tools|R14.0@64 R15.0@32|machine|R14.0=64 R15.0=32
machine|wide|R14.0@32 R14.0@64 R15.0@32||remove||||
user|wide-user|R15.0@64 R16.0@user||install||core host15 host16 tools|R15.0@64 R16.0@user|user|R15.0=64 R16.0=shared
user|wide-user|R15.0@64 R16.0@user||remove||||
user|wide-user|R15.0@user R16.0@32||install||core host15 host16 tools|R15.0@user R16.0@32|user|R15.0=shared R16.0=32
user|wide-user|R15.0@user R16.0@32||remove||||
x86|wide-x86|R14.0@32 R15.0@64 R16.0@user||install||core host14 host15 host16 tools|R14.0@32 R16.0@user|machine|R14.0=32 R15.0=64 R16.0=shared
x86|wide-x86|R14.0@32 R15.0@64 R16.0@user||remove||||
STEPS
)

# --- The machine ------------------------------------------------------------------------------------
place_key() {  # place_key RELEASE PLACE: the release's key and the reg option that reaches it
    case $2 in
    user) echo "HKCU\\Software\\Autodesk\\AutoCAD\\$1" ;;
    *) echo "HKLM\\Software\\Autodesk\\AutoCAD\\$1 /reg:$2" ;;
    esac
}
# Exactly these hosts installed: a host that stays keeps its tree (and what was written under
# it); one not listed has its tree deleted. One cmd runs every reg command: each Wine start
# costs time.
plant() {  # plant "R14.0@32 R15.0@64"
    local release place commands=()
    for release in "${!current[@]}"; do
        for place in 32 64 user; do
            if [[ " $1 " == *" $release@$place "* ]]; then
                commands+=("reg add $(place_key "$release" "$place") /v CurVer /d ${current[$release]} /f")
            else
                commands+=("reg delete $(place_key "$release" "$place") /f")
            fi
        done
    done
    wine_run cmd /c "$(printf '%s & ' "${commands[@]}")rem" >/dev/null 2>&1
}
# The release properties and companions hostgate would set for these hosts.
given() {  # given "R14.0@32 R15.0@64"
    local release place
    for release in $1; do
        place=${release#*@} release=${release%@*}
        printf '%s ' "${property[$release]}=Software\\Autodesk\\AutoCAD\\$release\\${current[$release]}"
        if [ "$place" = user ]; then
            printf '%s_ROOT=user %s_VIEW=shared ' "${property[$release]}" "${property[$release]}"
        else
            printf '%s_ROOT=machine %s_VIEW=%s ' "${property[$release]}" "${property[$release]}" "$place"
        fi
    done
}
# Every Applications\WideTools key, per place, sorted on one line: RELEASE@PLACE where the
# key is under the release's current sub-release in the root that place belongs to and its
# LOADER names the release's file in FOLDER; any other as PLACE:KEY (LOADER=...).
keys() {  # keys FOLDER
    local queries='' place option hive
    for place in 64 32 user; do
        option=" /reg:$place" hive=HKLM
        [ "$place" = user ] && option='' hive=HKCU
        queries+="echo @$place & reg query $hive\\Software\\Autodesk /s$option & reg query $hive\\Applications /s$option & "
    done
    wine_run cmd /c "${queries}rem" 2>/dev/null | tr -d '\r' | awk '
        /^@/ { place = substr($1, 2); next }
        /^HKEY_/ { key = $0; if (key ~ /\\Applications\\WideTools$/) loader[place "\t" key] = ""; next }
        key ~ /\\Applications\\WideTools$/ && $1 == "LOADER" { sub(/^ +LOADER +REG_SZ +/, ""); loader[place "\t" key] = $0 }
        END { for (at in loader) print at "\t" loader[at] }' |
    while IFS=$'\t' read -r place key loader; do
        local release hive=HKEY_LOCAL_MACHINE
        [ "$place" = user ] && hive=HKEY_CURRENT_USER
        release=$(sed -n 's/^HKEY_[A-Z_]*\\Software\\Autodesk\\AutoCAD\\\(R[0-9.]*\)\\.*/\1/p' <<<"$key")
        if [ -n "$release" ] && [ "$key" = "$hive\\Software\\Autodesk\\AutoCAD\\$release\\${current[$release]}\\Applications\\WideTools" ] &&
            [ "$loader" = "C:\\$1\\Wide Tools\\host${release:1:2}.txt" ]; then
            echo "$release@$place"
        else
            echo "$place:$key (LOADER=$loader)"
        fi
    done | sort | paste -sd' '
}
# The payload files: names in FOLDER\Wide Tools, any other as its path under C:.
files() {  # files FOLDER
    local path
    find "$drive_c/Program Files" "$drive_c/Program Files (x86)" -path '*/Wide Tools/*' -type f 2>/dev/null |
        while IFS= read -r path; do
            path=${path#"$drive_c/"}
            if [ "$path" = "$1/Wide Tools/${path##*/}" ]; then basename "$path" .txt; else echo "$path"; fi
        done | sort | paste -sd' '
}
# The context the product is registered in: machine, user, or nothing.
registered() {  # registered NAME
    local packed
    packed=$(product_code "$1" | tr -d '{}-' | sed -E 's/^(.{8})(.{4})(.{4})(.{4})(.{12})$/\1 \2 \3 \4\5/' |
        awk '{ out = ""; for (i = 1; i <= 3; i++) { s = ""; for (j = length($i); j > 0; j--) s = s substr($i, j, 1); out = out s }
               for (j = 1; j < length($4); j += 2) out = out substr($4, j + 1, 1) substr($4, j, 1); print out }')
    wine_run cmd /c "echo @machine & reg query HKLM\\Software\\Classes\\Installer\\Products\\$packed & echo @user & reg query HKCU\\Software\\Microsoft\\Installer\\Products\\$packed" 2>/dev/null |
        tr -d '\r' | awk '/^@/ { place = substr($1, 2) } /^HKEY_/ { print place }' | sort -u | paste -sd' '
}
# The view the log gives each release found: RELEASE=32, 64 or shared, sorted on one line.
views() {  # views LOG
    tr -d '\r' <"$1" | grep -ao 'found under [^ ]*\\R[0-9.]* ([^)]*)' |
        sed -E 's/.*\\(R[0-9.]+) \(([0-9]+)-bit view\)$/\1=\2/; s/.*\\(R[0-9.]+) \(shared[^)]*\)$/\1=shared/' | sort -u | paste -sd' '
}

# --- The run --------------------------------------------------------------------------------------
started=$SECONDS
rm -rf "$work" "$HOSTGATE_WINEPREFIX"
mkdir -p "$work"
wine_run wineboot >/dev/null 2>&1
printf '@echo off\r\nmsiexec %%*\r\necho exit code %%ERRORLEVEL%%\r\n' >"$drive_c/hostgate-run.bat"
passed=0 failed=0 number=0
while IFS='|' read -r road name hosts deleted how arguments want_files want_keys want_registered want_views; do
    number=$((number + 1))
    row="$road|$name|$hosts|$deleted|$how|$arguments"
    [ -n "$pattern" ] && ! grep -qE -- "$pattern" <<<"$row" && continue
    plant "$hosts"
    [ -n "$deleted" ] && rm -f "$drive_c/${folder[$name]}/Wide Tools/$deleted.txt"
    log="$work/step$number.log"
    read -ra words <<<"$arguments"
    [ "$name" = control ] && read -ra given_words <<<"$(given "$hosts")" && words+=("${given_words[@]}")
    package="Z:${source_dir//\//\\}\\${msi[$name]}"
    case $how in
    install) command=(/i "$package" /qn) ;;
    repair) command=(/i "$package" /qn REINSTALL=ALL REINSTALLMODE=vomus) ;;
    remove) command=(/x "$package" /qn) ;;
    esac
    result=$(msiexec_run "${command[@]}" "${words[@]}" /l*v "Z:${log//\//\\}")
    want="exit code 0; files: $want_files; keys: $want_keys; registered: $want_registered"
    got="$result; files: $(files "${folder[$name]}"); keys: $(keys "${folder[$name]}"); registered: $(registered "$name")"
    if [ -n "$want_views" ]; then
        want+="; views: $want_views"
        got+="; views: $(views "$log")"
    fi
    if [ "$got" = "$want" ]; then
        echo "PASS step $number: $row"
        passed=$((passed + 1))
    else
        echo "FAIL step $number: $row"
        echo "    expected: $want"
        echo "    got:      $got"
        tr -d '\r' <"$log" 2>/dev/null | grep -a '^hostgate [A-Za-z]*: \(host release\|feature lists\)' | sed 's/^/    /'
        failed=$((failed + 1))
    fi
done <<<"$steps"
# Windows' rules (an unelevated user, rows the package carries read-only) are enforced by
# patching the DLL's imports in a test program that loads it (tests/support/windows_rules.h);
# msiexec's custom-action server loads the DLL itself, and Wine's msiexec has no unelevated
# user: no msiexec road reaches them. Wow64.WindowsRules.HostLookup runs the lookup in both
# views under them.
echo "SKIP Windows' rules: not reachable through msiexec under Wine (see Wow64.WindowsRules.HostLookup)"
echo "run time: $((SECONDS - started)) s"
echo "$passed passed, $failed failed, 1 skipped"
wine_run wineserver -k >/dev/null 2>&1
[ "$failed" -eq 0 ]
