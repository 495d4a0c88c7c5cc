#!/usr/bin/env bash
# The product's life after its first installation, one real msiexec installation per step,
# each step on the machine the step before left: the function changed (silently and on the
# dialog, which must show the installed function chosen), a host release installed or
# removed since, a repair (restores what is installed and adds nothing), an uninstall once
# every host is gone, and a major upgrade that keeps the function. After each step the files
# on disk and the products registered are compared with what the package's tables allow;
# for survey-tools and thermal-tools also the per-release registration they write under a
# release's key. Every step runs and prints PASS or FAIL with what was expected and what came.
#   maintenance_test.sh BUILD_DIR silent|dialog [PATTERN]   (dialog: exit 77 when no display server starts)
# PATTERN (grep -E) keeps only the steps whose table row, less its mode, matches, e.g. '^thermal'.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
mode=$2 pattern=${3:-}
export HOSTGATE_WINEPREFIX="$build/maintenance-$mode-prefix"
work="$build/maintenance-$mode"
# shellcheck source=msiexec_helpers.sh
. "$root/tests/msiexec_helpers.sh"

# --- The packages -----------------------------------------------------------------------------
declare -A msi folder product
msi[sample]="$build/sample/source/hostgate-sample.msi" folder[sample]="Hostgate Sample"
msi[sample-2]="$build/sample/upgrade/hostgate-sample.msi" folder[sample-2]="Hostgate Sample"
# The outside packages as their authors should write them for maintenance: their planning
# actions carry "NOT Installed" and type 257, which the guide tells authors to drop.
msi[contour]="$work/contour/contour-tools.msi" folder[contour]="Contour Tools"
msi[survey]="$work/survey/survey.msi" folder[survey]="Contour Works/Survey Tools"
# A third author's package, per user, as its author scheduled it (as the guide says), its
# ACAD2004 rows in the other order, and its version 2.0.0.
msi[thermal]="$build/packages/thermal-tools/source/thermal-tools.msi" folder[thermal]="Thermal Tools"
msi[thermal-swapped]="$build/packages/thermal-tools/source/thermal-tools-swapped.msi" folder[thermal-swapped]="Thermal Tools"
msi[thermal-2]="$build/packages/thermal-tools/upgrade/thermal-tools.msi" folder[thermal-2]="Thermal Tools"
every_road_variant() {  # every_road_variant NAME SOURCE_DIR
    cp -r "$2" "$work/$1"
    local package=${msi[$1]} sequence action
    # One UPDATE per row: msitools' query engine mishandles OR in a WHERE clause.
    for action in PrevInstall AfterSelectFunction; do
        for sequence in InstallUISequence InstallExecuteSequence; do
            msibuild "$package" -q "UPDATE \`$sequence\` SET \`Condition\`='' WHERE \`Action\`='$action'" || return 1
        done
        msibuild "$package" -q "UPDATE \`CustomAction\` SET \`Type\`=1 WHERE \`Action\`='$action'" || return 1
    done
    { table "$package" InstallUISequence; table "$package" InstallExecuteSequence; } |
        awk -F'\t' '($1 == "PrevInstall" || $1 == "AfterSelectFunction") && $2 != "" { exit 1 }' &&
        [ "$(table "$package" CustomAction | awk -F'\t' '$1 ~ /^(PrevInstall|AfterSelectFunction)$/ { print $2 }' | xargs)" = "1 1" ]
}

# --- The steps and what each must leave, worked out by hand from the packages' tables -------
# Hosts: R15.0 per machine, R16.0 and R17.0 per user (the column lists the releases present
# at the step; a release left out has had its key tree deleted, as its uninstaller does).
# Roads: install = msiexec /i PACKAGE /qn ARGUMENTS; repair = the same with REINSTALL=ALL
# REINSTALLMODE=vomus; remove = msiexec /x PRODUCT /qn; dialog = msiexec /i with its full UI,
# ARGUMENTS the radio buttons clicked ("-": none, Next on what the dialog shows chosen).
# "deleted" is a payload file deleted before the step. Files are listed without ".txt".
#
# sample: viewer runs on every release; EDITOR-PRO has rules for R16.0 and R17.0 only.
#   viewer: core viewer + acadNNNN of each release present; editor: core editor + acad2004
#   and acad2007 of those present. A maintenance run without FUNCTION_VER keeps the
#   function installed. The silent run goes on with the editor, the dialog run with the
#   viewer chosen on the dialog; both end with an uninstall after every host is gone.
#   2.0.0 (sample-2) removes 1.0.0 and takes its function: editor, not the first offered.
# contour: basic (first offered) and pro rules for every release; Tools and Integration are
#   parents, Tools_Pro_Help follows its parent, Extras (level 3) stays out.
# survey: FIELD (first offered) on every release; office needs R16.0 or later (Host15 goes);
#   each HostNN writes [HOSTnn]\Applications\SurveyTools, LOADER = its file (R15.0 under
#   HKLM, the others under HKCU), listed in the last column.
# thermal: see roads_test.sh. The package's own rows keep Thermal out while NOTHERMAL="1" and
#   Docs out while NODOCS="1", on a change too, and a change does not add Docs that the first
#   installation left out. Installing again with nothing given changes nothing, whichever
#   order ACAD2004's rows (R16.0, R16.1) have; with both installed ACAD2004 names R16.1, the
#   release that sorts highest. 2.0.0 reads ACAD2007 back (AppSearch) but, R17.0 being
#   removed, installs none of its features and writes no key under its name. Keys as
#   RELEASE\CURVER: every Applications\ThermalTools key on the machine.
#
# mode | package | hosts | deleted | road | arguments | files | products registered | SurveyTools or ThermalTools keys
steps=$(cat <<'STEPS'
*|sample|R15.0 R16.0||install||acad2000 acad2004 core viewer|sample|
*|sample|R15.0 R16.0||install|FUNCTION_VER=EDITOR-PRO|acad2004 core editor|sample|
d|sample|R15.0 R16.0||dialog|-|acad2004 core editor|sample|
d|sample|R15.0 R16.0||dialog|1|acad2000 acad2004 core viewer|sample|
d|sample|R15.0 R16.0 R17.0||install||acad2000 acad2004 acad2007 core viewer|sample|
d|sample|R15.0 R17.0||install||acad2000 acad2007 core viewer|sample|
d|sample|R15.0 R16.0 R17.0|viewer|repair||acad2000 acad2007 core viewer|sample|
s|sample|R15.0 R16.0 R17.0||install||acad2004 acad2007 core editor|sample|
s|sample|R15.0 R17.0||install||acad2007 core editor|sample|
s|sample|R15.0 R16.0 R17.0|editor|repair||acad2007 core editor|sample|
*|sample|||remove|||||
s|sample|R15.0 R16.0||install|FUNCTION_VER=EDITOR-PRO|acad2004 core editor|sample|
s|sample-2|R15.0 R16.0||install||acad2004 core editor|sample-2|
s|sample-2|R15.0 R16.0||remove|||||
s|contour|R15.0 R16.0||install||core integration integration_r15 integration_r16 tools tools_basic tools_common|contour|
s|contour|R15.0 R16.0||install|FUNCTION_VER=pro|core integration integration_r15 integration_r16 tools tools_common tools_pro tools_pro_help tools_pro_samples|contour|
s|contour|R15.0 R16.0||remove|||||
s|survey|R15.0 R16.0||install||core field host15 host16 reports|survey|R15.0 R16.0
s|survey|R15.0 R16.0||install|FUNCTION_VER=office|core host16 office reports|survey|R16.0
s|survey|R15.0 R16.0 R17.0||install||core host16 host17 office reports|survey|R16.0 R17.0
s|survey|R15.0 R17.0||install||core host17 office reports|survey|R17.0
s|survey|R15.0 R16.0 R17.0|office|repair||core host17 office reports|survey|R17.0
s|survey|R15.0 R16.0 R17.0||remove|||||
s|thermal|R16.1||install|FUNCTION_VER=analyse NOTHERMAL=1|analysis core docs|thermal|
s|thermal|R16.1||install|FUNCTION_VER=full NOTHERMAL=1|core docs link2004 reports|thermal|R16.1\ACAD-301:409
s|thermal|R16.1||remove|||||
s|thermal|R16.1||install|FUNCTION_VER=full NODOCS=1|core link2004 reports thermal|thermal|R16.1\ACAD-301:409
s|thermal|R16.1||install|FUNCTION_VER=analyse|analysis core thermal|thermal|
s|thermal|R16.1||remove|||||
s|thermal|R16.0 R16.1||install|FUNCTION_VER=full|core docs link2004 reports thermal|thermal|R16.1\ACAD-301:409
s|thermal|R16.0 R16.1||install||core docs link2004 reports thermal|thermal|R16.1\ACAD-301:409
s|thermal|R16.0 R16.1||remove|||||
s|thermal-swapped|R16.0 R16.1||install|FUNCTION_VER=full|core docs link2004 reports thermal|thermal-swapped|R16.1\ACAD-301:409
s|thermal-swapped|R16.0 R16.1||install||core docs link2004 reports thermal|thermal-swapped|R16.1\ACAD-301:409
s|thermal-swapped|R16.0 R16.1||remove|||||
s|thermal|R16.1 R17.0||install|FUNCTION_VER=analyse|analysis core docs link2007 thermal|thermal|R17.0\ACAD-5001:409
s|thermal-2|R16.1||install||analysis core docs thermal|thermal-2|
s|thermal-2|R16.1||remove|||||
STEPS
)

# --- What the machine holds -------------------------------------------------------------------
registered_products() {
    local list name
    list=$(wine_run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' 2>/dev/null)
    for name in "${!product[@]}"; do grep -qiF "${product[$name]}" <<<"$list" && echo "$name"; done | sort | xargs
}
# Every Applications\SurveyTools key on the machine: a release whose key holds the right
# LOADER shows as the release; anything else (a wrong value, a key under an empty release
# property such as HKLM\Applications) shows as its path.
survey_keys() {
    local hive key loader release
    for hive in HKLM HKCU; do
        wine_run reg query "$hive\\Software\\Autodesk" /s 2>/dev/null
        wine_run reg query "$hive\\Applications\\SurveyTools" 2>/dev/null
    done | tr -d '\r' | awk '
        /^HKEY_/ { key = $0; if (key ~ /\\Applications\\SurveyTools$/) loader[key] = ""; next }
        key ~ /\\Applications\\SurveyTools$/ && $1 == "LOADER" { sub(/^ +LOADER +REG_SZ +/, ""); loader[key] = $0 }
        END { for (key in loader) print key "\t" loader[key] }' |
    while IFS=$'\t' read -r key loader; do
        release=$(sed -n 's/^HKEY_[A-Z_]*\\Software\\Autodesk\\AutoCAD\\\(R[0-9.]*\)\\[^\\]*\\Applications\\SurveyTools$/\1/p' <<<"$key")
        if [ -n "$release" ] && [ "${key%\\Applications\\SurveyTools}" = "$(full_host_key "$release")" ] &&
            [ "$loader" = "C:\\Program Files\\Contour Works\\Survey Tools\\host$(host_digits "$release").txt" ]; then
            echo "$release"
        else
            echo "$key (LOADER=$loader)"
        fi
    done | sort | paste -sd' '
}
# HKCU\Software\Autodesk\AutoCAD\R16.0\ACAD-201:409, as reg query spells it.
full_host_key() {
    local key
    key=$(host_key "$1")
    key=${key/#HKLM/HKEY_LOCAL_MACHINE}
    echo "${key/#HKCU/HKEY_CURRENT_USER}\\${host_current[$1]}"
}
host_digits() { local digits=${1#R}; digits=${digits%.0}; echo "${digits//./}"; }

# --- The run ------------------------------------------------------------------------------------
start_run "$mode" "$build" "$work"
for name in "${!msi[@]}"; do
    case $name in
    contour) every_road_variant contour "$build/packages/contour-tools/source" ;;
    survey) every_road_variant survey "$build/packages/survey-tools/source" ;;
    esac || echo "FAIL  the $name variant without \"NOT Installed\" could not be built"
    product[$name]=$(property_of "${msi[$name]}" ProductCode)
done

passed=0 failed=0 planted=unknown
while IFS='|' read -r when package hosts deleted road arguments files products keys; do
    [ "$when" = '*' ] || [ "$when" = "${mode:0:1}" ] || continue
    package_file=${msi[$package]} installed=${folder[$package]}
    [ "$hosts" = "$planted" ] || plant_hosts "$hosts"
    planted=$hosts
    step="$package: $road${arguments:+ $arguments}${deleted:+ ($deleted.txt deleted)} (hosts: ${hosts:-none})"
    if [ "$road" = dialog ]; then
        choice="button $arguments"
        [ "$arguments" = - ] && choice="Next on the function shown chosen"
        step="$package: dialog, $choice (hosts: $hosts)"
    fi
    [ -z "$deleted" ] || rm -f "$drive_c/Program Files/$installed/$deleted.txt"
    rm -f "$drive_c/maintenance.log"
    read -r -a properties <<<"$arguments"
    case $road in
    install) result=$(msiexec_run /i "$(wine_run winepath -w "$package_file")" /qn /l*v 'C:\maintenance.log' "${properties[@]}") ;;
    repair) result=$(msiexec_run /i "$(wine_run winepath -w "$package_file")" REINSTALL=ALL REINSTALLMODE=vomus /qn /l*v 'C:\maintenance.log') ;;
    remove) result=$(msiexec_run /x "${product[$package]}" /qn /l*v 'C:\maintenance.log') ;;
    dialog)
        # shellcheck disable=SC2086  # the buttons are words
        result=$("$root/sample/choose.sh" "$HOSTGATE_WINEPREFIX" "$package_file" 'C:\maintenance.log' $arguments)
        [ $? = 77 ] && { echo "SKIPPED: no display server could be started"; exit 77; } ;;
    esac
    expected="exit code 0; files: $(sorted "$files"); registered: $(sorted "$products")"
    got="$result; files: $(files_in "$installed"); registered: $(registered_products)"
    if [ "$package" = survey ]; then
        expected="$expected; SurveyTools keys: $(sorted "$keys")"
        got="$got; SurveyTools keys: $(survey_keys)"
    elif [ "${package%%-*}" = thermal ]; then
        expected="$expected; ThermalTools keys: $(sorted "$keys")"
        got="$got; ThermalTools keys: $(application_keys ThermalTools)"
    fi
    if [ "$got" = "$expected" ]; then
        echo "PASS  $step"
        passed=$((passed + 1))
    else
        printf 'FAIL  %s\n      expected %s\n      got      %s\n' "$step" "$expected" "$got"
        failed=$((failed + 1))
        # A removal that left something: a clean machine for the next package.
        if [ "$road" = remove ]; then
            registered "${product[$package]}" && msiexec_run /x "${product[$package]}" /qn >/dev/null
            rm -rf "${drive_c:?}/Program Files/$installed"
        fi
    fi
done < <(pattern=$pattern awk '{ row = $0; sub(/^[^|]*[|]/, "", row) } row ~ ENVIRON["pattern"]' <<<"$steps")
echo "$passed steps passed, $failed failed"
WINEPREFIX=$HOSTGATE_WINEPREFIX wineserver -k 2>/dev/null
[ "$failed" = 0 ]
