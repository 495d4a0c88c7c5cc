#!/usr/bin/env bash
# Every road into a first installation must give the features that the package's rules allow
# for the hosts installed and the function chosen last: no, basic and reduced UI, the dialog
# (chosen once, or chosen, Back, chosen again), a feature list on the command line, and a
# release named by whoever deploys. One real msiexec installation per road, on the sample
# and on four packages of outside setup authors. The result is read from the files on disk,
# the verbose log's final property dump and (thermal-tools) the keys its rows write under a
# release's key; each installation is then removed and must leave no file, key or product
# registration behind. A function named on the command line that the machine cannot take
# must stop the installation with message 3000 and leave nothing installed or registered.
# Every road runs; each prints PASS or FAIL with what was expected and what came.
#   roads_test.sh BUILD_DIR silent|dialog [PATTERN]   (dialog: exit 77 when no display server starts)
# PATTERN (grep -E) keeps only the roads whose table row matches, e.g. '^contour' or 'ADDLOCAL'.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=$2 pattern=${3:-}
# shellcheck source=msiexec_helpers.sh
. "$root/tests/msiexec_helpers.sh"
road_folders "$1" "roads-$mode"

# --- The packages: .msi and installation folder under Program Files -----------------------
declare -A msi folder
msi[sample]="$build/sample/source/hostgate-sample.msi" folder[sample]="Hostgate Sample"
msi[contour]="$build/packages/contour-tools/source/contour-tools.msi" folder[contour]="Contour Tools"
msi[survey]="$build/packages/survey-tools/source/survey.msi" folder[survey]="Contour Works/Survey Tools"
msi[thermal]="$build/packages/thermal-tools/source/thermal-tools.msi" folder[thermal]="Thermal Tools"
msi[thermal-swapped]="$build/packages/thermal-tools/source/thermal-tools-swapped.msi" folder[thermal-swapped]="Thermal Tools"
# Its variant whose files travel in the cabinets the rules look for.
msi[thermal-cab]="$build/packages/thermal-tools/cabinets/thermal-tools.msi" folder[thermal-cab]="Thermal Tools"
# A fifth author's package: per machine, German texts in code page 1252.
msi[drafting]="$build/packages/drafting-tools/source/drafting-tools.msi" folder[drafting]="Zeichenbüro/Zeichenwerkzeuge"
# The packages whose rows write an Applications\NAME key under a release's key.
declare -A app_key=([thermal]=ThermalTools [thermal-swapped]=ThermalTools [thermal-cab]=ThermalTools)
# The sample with its InstallUISequence custom actions run only under full UI, as Windows may
# do: reduced UI must then give what no UI gives.
msi[sample-fullui]="$work/sample-fullui/hostgate-sample.msi" folder[sample-fullui]="Hostgate Sample"
fullui_variant() {
    cp -r "$build/sample/source" "$work/sample-fullui"
    local package=${msi[sample-fullui]} actions action condition
    actions=$(table "$package" CustomAction | cut -f1)
    # One UPDATE per row: msitools' query engine mishandles OR in a WHERE clause.
    while IFS=$'\t' read -r action condition _; do
        grep -qxF "$action" <<<"$actions" || continue
        msibuild "$package" -q "UPDATE \`InstallUISequence\` SET \`Condition\`='${condition:+($condition) AND }UILevel = 5' WHERE \`Action\`='$action'" ||
            return 1
    done < <(table "$package" InstallUISequence)
    grep -q 'UILevel = 5' <(table "$package" InstallUISequence)
}
# The sample with a default function of its own (a Property row FUNCTION_VER=EDITOR-PRO).
msi[sample-default]="$work/sample-default/hostgate-sample.msi" folder[sample-default]="Hostgate Sample"
default_variant() {
    cp -r "$build/sample/source" "$work/sample-default"
    msibuild "${msi[sample-default]}" -q "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('FUNCTION_VER', 'EDITOR-PRO')" &&
        [ "$(property_of "${msi[sample-default]}" FUNCTION_VER)" = EDITOR-PRO ]
}

# --- The roads and what each must give, worked out by hand from the packages' tables -------
# Hosts planted as in the sample's demo: R15.0 per machine, R16.0 per user; R17.0 (and the
# survey's R16.2) never. Deployed as another account (SYSTEM, say), the installer sees no
# release of the user's: none is planted, and the one named on the command line must count
# as found. Payload files are listed without ".txt".
#
# sample: offered 1 viewer, 2 editor (value EDITOR-PRO); network.cab is not shipped.
#   viewer: core viewer + acad2000 acad2004 (their releases are installed; acad2007's is not)
#   EDITOR-PRO: core editor acad2004; AutoCAD 2000 has no EDITOR-PRO rule, so its release
#   fails the function and loses acad2000.
# contour: offered 1 basic, 2 pro, 3 view; every cabinet shipped. Tools and Integration are
#   parents; Tools_Pro_Help and Integration_R17_Menus follow their parents; Extras (pro's)
#   has level 3, above INSTALLLEVEL 1.
#   basic: core tools tools_basic tools_common integration integration_r15 integration_r16
#   pro:   core tools tools_pro tools_pro_help tools_pro_samples tools_common integration
#          integration_r15 integration_r16 (extras only where a list names it)
#   view:  core tools viewer integration integration_r16 (view has no ACAD2000 rule)
# survey: offered 1 field (value FIELD), 2 office; server.cab is not shipped.
#   FIELD:  core reports field host15 host16
#   office: core reports office host16 (office has no HOST15 rule)
# thermal (per user): offered draft, analyse, full. ACAD2004 stands for R16.0 and R16.1 (two
#   AutoCAD rows; thermal-swapped has them in the other order); ACAD2002 (R15.0) is never
#   planted, and its one rule (draft's) names Link2002. Thermal (analyse's and full's) has
#   the package's row NOTHERMAL="1", Docs (no rule) NODOCS="1". LinkNNNN writes
#   [ACADnnnn]\Applications\ThermalTools, listed in the last column as RELEASE\CURVER.
#   draft: core docs draft link2004; analyse: analysis core docs thermal; full: core docs
#   reports thermal link2004; link2007 (a setup rule) wherever R17.0 is. A release missing
#   loses its features, whatever function names them. CurVer stored as bytes "B1\0AC\0..."
#   names the sub-release B1; stored as a DWORD 0 it names none: the release is missing.
#   thermal-cab: the same rules over the cabinets its Media table lists (but cabs\full.cab).
# drafting (per machine): offered komplett, betrachter, zeichner, exporteur, konstrukteur, in
#   that order; they share Anzeige, Zeichnen and Export, Visualisierung is komplett's own.
#   komplett's rules are met over all releases, but it has none under ACAD2000: R15.0 alone
#   cannot take it, so there it is not offered (betrachter is the default, the dialog's
#   first button) and, named, stops the installation. Anbindung2000 and Anbindung2004
#   go with their releases, for every function whose rules the release meets.
#   komplett: anbindung2004 anzeige export kern visualisierung zeichnen; betrachter:
#   anbindung2000/2004 (those installed) anzeige kern; zeichner: + zeichnen; exporteur:
#   + export (cabs\pdf.cab, beside the missing cabs\dxf.cab in its rule group).
# Feature lists stand as Wine's installer reads them, less what the rules withhold: ADDLOCAL
# installs what it names (not the parents) and the children that follow a parent; REMOVE
# alone on a first installation installs nothing.
# A function named that no installed release can take (EDITOR-PRO without R16.0 and R17.0)
# or that is not offered (network) stops the installation: "end" holds the exit code and the
# message (Wine logs it only under no UI); FUNCTION_VER is then left as named (under reduced
# UI the installation ends in the UI sequence, and Wine's log has no property dump). The
# package's own default that is not offered gives way to the first offered function.
#
# package | hosts | UI | msiexec properties, or the radio buttons clicked | FUNCTION_VER | files | keys | end
roads=$(cat <<'ROADS'
sample|R15.0 R16.0|qn||viewer|acad2000 acad2004 core viewer
sample|R15.0 R16.0|qn|FUNCTION_VER=EDITOR-PRO|EDITOR-PRO|acad2004 core editor
sample|R15.0 R16.0|qb|FUNCTION_VER=EDITOR-PRO|EDITOR-PRO|acad2004 core editor
sample|R15.0 R16.0|qr|FUNCTION_VER=EDITOR-PRO|EDITOR-PRO|acad2004 core editor
sample|R15.0 R16.0|qn|ADDLOCAL=ALL FUNCTION_VER=EDITOR-PRO|EDITOR-PRO|acad2004 core editor
sample|R15.0 R16.0|qn|ADDLOCAL=Core,Viewer,Acad2007|viewer|core viewer
sample|R15.0 R16.0|qn|ADDLOCAL=ALL REMOVE=Acad2004|viewer|acad2000 core viewer
sample|R15.0 R16.0|qn|REMOVE=Acad2004|viewer|
sample||qn|ACAD2004=Software\Autodesk\AutoCAD\R16.0\ACAD-201:409 FUNCTION_VER=EDITOR-PRO|EDITOR-PRO|acad2004 core editor
sample-fullui|R15.0 R16.0|qr|FUNCTION_VER=EDITOR-PRO|EDITOR-PRO|acad2004 core editor
sample|R15.0|qn|FUNCTION_VER=EDITOR-PRO|EDITOR-PRO|||1603 3000
sample|R15.0|qb|FUNCTION_VER=EDITOR-PRO|EDITOR-PRO|||1603
sample|R15.0|qr|FUNCTION_VER=EDITOR-PRO||||1603
sample|R15.0 R16.0|qn|FUNCTION_VER=network|network|||1603 3000
sample-default|R15.0|qn||viewer|acad2000 core viewer
sample-default|R15.0 R16.0|qn||EDITOR-PRO|acad2004 core editor
sample|R15.0 R16.0|dialog|1|viewer|acad2000 acad2004 core viewer
sample|R15.0 R16.0|dialog|2 1|viewer|acad2000 acad2004 core viewer
contour|R15.0 R16.0|qn||basic|core integration integration_r15 integration_r16 tools tools_basic tools_common
contour|R15.0 R16.0|qn|FUNCTION_VER=pro|pro|core integration integration_r15 integration_r16 tools tools_common tools_pro tools_pro_help tools_pro_samples
contour|R15.0 R16.0|qb|FUNCTION_VER=pro|pro|core integration integration_r15 integration_r16 tools tools_common tools_pro tools_pro_help tools_pro_samples
contour|R15.0 R16.0|qr|FUNCTION_VER=pro|pro|core integration integration_r15 integration_r16 tools tools_common tools_pro tools_pro_help tools_pro_samples
contour|R15.0 R16.0|qn|ADDLOCAL=ALL FUNCTION_VER=pro|pro|core extras integration integration_r15 integration_r16 tools tools_common tools_pro tools_pro_help tools_pro_samples
contour|R15.0 R16.0|qn|ADDLOCAL=Core,Tools,Tools_Pro,Integration,Integration_R15,Integration_R17 FUNCTION_VER=pro|pro|core integration integration_r15 tools tools_pro tools_pro_help
contour|R15.0 R16.0|qn|REMOVE=Integration_R16|basic|
contour||qn|ACAD2004=Software\Autodesk\AutoCAD\R16.0\ACAD-201:409 FUNCTION_VER=view|view|core integration integration_r16 tools viewer
contour|R15.0 R16.0|dialog|2|pro|core integration integration_r15 integration_r16 tools tools_common tools_pro tools_pro_help tools_pro_samples
contour|R15.0 R16.0|dialog|3 2|pro|core integration integration_r15 integration_r16 tools tools_common tools_pro tools_pro_help tools_pro_samples
contour|R15.0 R16.0|dialog|1 2|pro|core integration integration_r15 integration_r16 tools tools_common tools_pro tools_pro_help tools_pro_samples
survey|R15.0 R16.0|qn||FIELD|core field host15 host16 reports
survey|R15.0 R16.0|qn|FUNCTION_VER=office|office|core host16 office reports
survey|R15.0 R16.0|qb|FUNCTION_VER=office|office|core host16 office reports
survey|R15.0 R16.0|qr|FUNCTION_VER=office|office|core host16 office reports
survey|R15.0 R16.0|qn|ADDLOCAL=ALL FUNCTION_VER=office|office|core host16 office reports
survey|R15.0 R16.0|qn|ADDLOCAL=SurveyCore,FieldTools,Host15,Host17|FIELD|core field host15
survey|R15.0 R16.0|qn|REMOVE=Host16|FIELD|
survey||qn|HOST16=Software\Autodesk\AutoCAD\R16.0\ACAD-201:409 FUNCTION_VER=office|office|core host16 office reports
survey|R15.0 R16.0|dialog|1|FIELD|core field host15 host16 reports
survey|R15.0 R16.0|dialog|2 1|FIELD|core field host15 host16 reports
thermal|R16.1|qn|FUNCTION_VER=draft|draft|core docs draft link2004|R16.1\ACAD-301:409
thermal|R17.0|qn|FUNCTION_VER=full|full|core docs link2007 reports thermal|R17.0\ACAD-5001:409
thermal|R16.1|qr|FUNCTION_VER=analyse NOTHERMAL=1|analyse|analysis core docs|
thermal-swapped|R16.1|qn|FUNCTION_VER=full|full|core docs link2004 reports thermal|R16.1\ACAD-301:409
thermal-cab|R16.1|qn|FUNCTION_VER=full|full|core docs link2004 reports thermal|R16.1\ACAD-301:409
thermal|R16.1:REG_BINARY:4231004143000000|qn|FUNCTION_VER=full|full|core docs link2004 reports thermal|R16.1\B1
thermal|R16.1:REG_DWORD:0 R17.0|qn|FUNCTION_VER=full|full|core docs link2007 reports thermal|R17.0\ACAD-5001:409
drafting|R15.0 R16.0|qn||komplett|anbindung2004 anzeige export kern visualisierung zeichnen
drafting|R15.0|qn||betrachter|anbindung2000 anzeige kern
drafting|R15.0|qn|FUNCTION_VER=komplett|komplett|||1603 3000
drafting|R16.0|qn|FUNCTION_VER=komplett|komplett|anbindung2004 anzeige export kern visualisierung zeichnen
drafting|R15.0 R16.0|qr|FUNCTION_VER=zeichner|zeichner|anbindung2000 anbindung2004 anzeige kern zeichnen
drafting|R15.0|qn|ADDLOCAL=ALL FUNCTION_VER=exporteur|exporteur|anbindung2000 anzeige export kern
drafting|R15.0 R16.0|dialog|1|komplett|anbindung2004 anzeige export kern visualisierung zeichnen
drafting|R15.0|dialog|1|betrachter|anbindung2000 anzeige kern
drafting|R15.0|dialog|4 3|exporteur|anbindung2000 anzeige export kern
ROADS
)

# --- The machine ---------------------------------------------------------------------------
planted=unknown
plant() {  # plant "R15.0 R16.0": exactly these host releases installed ("": none)
    [ "$1" = "$planted" ] && return
    plant_hosts "$1"
    planted=$1
}

start_run "$mode" "$build" "$work"
fullui_variant || echo "FAIL  the sample variant for full UI only could not be built"
default_variant || echo "FAIL  the sample variant with a default function could not be built"

passed=0 failed=0
while IFS='|' read -r package hosts ui arguments value files keys end; do
    [ "$ui" = dialog ] && [ "$mode" != dialog ] && continue
    [ "$ui" != dialog ] && [ "$mode" = dialog ] && continue
    road="$package: /$ui $arguments"
    [ "$ui" = dialog ] && road="$package: dialog, buttons $arguments"
    [ "$hosts" = "R15.0 R16.0" ] || road="$road (hosts: ${hosts:-none})"
    package_file=${msi[$package]} installed=${folder[$package]}
    product=$(property_of "$package_file" ProductCode)
    plant "$hosts"
    rm -f "$drive_c/roads.log"

    if [ "$ui" = dialog ]; then
        # shellcheck disable=SC2086  # the buttons are words
        result=$("$root/sample/choose.sh" "$HOSTGATE_WINEPREFIX" "$package_file" 'C:\roads.log' $arguments)
        [ $? = 77 ] && { echo "SKIPPED: no display server could be started"; exit 77; }
    else
        read -r -a properties <<<"$arguments"
        result=$(msiexec_run /i "$(windows_path "$package_file")" "/$ui" /l*v 'C:\roads.log' "${properties[@]}")
    fi
    chosen=$(tr -d '\r' <"$drive_c/roads.log" 2>/dev/null | sed -n 's/^Property([SC]): FUNCTION_VER = //p' | tail -n 1)
    expected="$(expected_end "$end"); FUNCTION_VER = $value; files: $(sorted "$files")"
    got="$(got_end "$end" "$result" "$package_file" "$drive_c/roads.log"); FUNCTION_VER = $chosen; files: $(files_in "$installed")"
    # A stopped installation registers nothing.
    if [ -n "$end" ]; then
        expected="$expected; not registered"
        got="$got; $(registered "$product" && echo registered || echo not registered)"
    fi
    app=${app_key[$package]:-}
    if [ -n "$app" ]; then
        expected="$expected; $app keys: $(sorted "$keys")"
        got="$got; $app keys: $(application_keys "$app")"
    fi

    # Removed again: nothing of the product may stay.
    removal=
    if registered "$product"; then removal=$(msiexec_run /x "$product" /qn); fi
    left="files left: $(files_in "$installed")"
    if [ -n "$app" ]; then
        keys_left=$(application_keys "$app")
        [ -z "$keys_left" ] || left="$left; $app keys left: $keys_left"
    fi
    registered "$product" && left="$left; still registered"
    [ -z "$removal" ] || [ "$removal" = "exit code 0" ] || left="$left; removal: $removal"

    if [ "$got" = "$expected" ] && [ "$left" = "files left: " ]; then
        echo "PASS  $road"
        passed=$((passed + 1))
    else
        echo "FAIL  $road"
        [ "$got" = "$expected" ] || printf '      expected %s\n      got      %s\n' "$expected" "$got"
        [ "$left" = "files left: " ] || echo "      after the removal: $left"
        failed=$((failed + 1))
        # A clean machine for the next road.
        registered "$product" && msiexec_run /x "$product" /qn >/dev/null
        rm -rf "$drive_c/Program Files/$installed"
    fi
done < <(grep -E -- "${pattern:-.}" <<<"$roads")
rules_verdict || failed=$((failed + 1))
echo "$passed roads passed, $failed failed"
WINEPREFIX=$HOSTGATE_WINEPREFIX wineserver -k 2>/dev/null
[ "$failed" = 0 ]
