#!/usr/bin/env bash
# The product's life after its first installation, one real msiexec installation per step,
# each step on the machine the step before left: the function changed (silently and on the
# dialog, which must show the installed function chosen; from the package, and from the
# product code as Programs and Features starts a change), a host release installed or
# removed since, the installation source gone, a function named that the machine cannot
# take, a repair (restores what is installed and adds nothing), an uninstall once every host
# is gone, a major upgrade that keeps the function, and an administrative image's life.
# After each step the files on disk and the products registered are compared with what the
# package's tables allow; for survey-tools and thermal-tools also the per-release
# registration they write under a release's key, and for thermal-tools the value its row
# writes with [FUNCTION_VER]. Every step runs and prints PASS or FAIL with what was
# expected and what came.
#   maintenance_test.sh BUILD_DIR silent|dialog [PATTERN]   (dialog: exit 77 when no display server starts)
# PATTERN (grep -E) keeps only the steps whose table row, less its mode, matches, e.g. '^thermal'.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=$2 pattern=${3:-}
# shellcheck source=msiexec_helpers.sh
. "$root/tests/msiexec_helpers.sh"
road_folders "$1" "maintenance-$mode"

# --- The packages -----------------------------------------------------------------------------
declare -A msi folder product
# The sample's source copied, so that a step can take it away.
msi[sample]="$work/sample/hostgate-sample.msi" folder[sample]="Hostgate Sample"
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
# The administrative image of the thermal variant whose files travel in the cabinets its
# rules look for: the image holds none of them, only cabs\full.cab, which lies outside.
msi[thermal-image]="$work/thermal-image/thermal-tools.msi" folder[thermal-image]="Thermal Tools"
# A fifth author's package, per machine: 1.0.0, its major upgrade 2.0.0, 0.9.0 built without
# hostgate (which 1.0.0 upgrades), and a 1.0.0 of its own that remembers its function.
msi[drafting]="$build/packages/drafting-tools/source/drafting-tools.msi" folder[drafting]="Zeichenbüro/Zeichenwerkzeuge"
msi[drafting-2]="$build/packages/drafting-tools/upgrade/drafting-tools.msi" folder[drafting-2]="Zeichenbüro/Zeichenwerkzeuge"
msi[drafting-0.9]="$build/packages/drafting-tools/adoption/drafting-tools.msi" folder[drafting-0.9]="Zeichenbüro/Zeichenwerkzeuge"
msi[drafting-remember]="$build/packages/drafting-tools/remember/drafting-tools.msi" folder[drafting-remember]="Zeichenbüro/Zeichenwerkzeuge"
msi[drafting-renamed]="$build/packages/drafting-tools/renamed/drafting-tools.msi" folder[drafting-renamed]="Zeichenbüro/Zeichenwerkzeuge"
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
# Roads: install = msiexec /i PACKAGE /qn ARGUMENTS (qb, qr: /qb, /qr); repair = the same
# with REINSTALL=ALL REINSTALLMODE=vomus; remove = msiexec /x PRODUCT /qn; dialog = msiexec /i
# with its full UI, ARGUMENTS the radio buttons clicked ("-": none, Next on what the dialog
# shows chosen). code/ROAD starts the road from the product code instead of the package
# (msiexec /i PRODUCT, as Programs and Features does): the installer runs the cached package.
# "away" is taken away before the step: a payload file (deleted), the package's source
# folder ("source", moved away for the step) or a file of it ("source/PATH").
# "end" is the exit code and the message the step must end with, when not 0: a step that
# stops must leave the product as the step before left it. Files are listed without ".txt".
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
#   RELEASE\CURVER: every Applications\ThermalTools key on the machine; function:VALUE, the
#   value Core's row writes with [FUNCTION_VER]: a repair rewrites it, and must see the
#   installed function. (Wine writes the rows of every installed component again on a
#   change, as it does for a control package without hostgate's actions: the value follows
#   the function changed to.)
# Change from the product code (sample): the source resolved, so every cabinet counts; with
#   the source gone the installed function stays, and one not installed (its cabinets
#   unknown) is not offered: named silently, message 3000. FUNCTION_VER=network is never
#   offered (network.cab is not shipped).
# thermal-image: every rule's cabinet but cabs\full.cab is one the Media table lists, which
#   counts as present on the image; cabs\full.cab, Reports' (full's) licence marker, is
#   looked for there: taken away, full installs without Reports.
# drafting: see roads_test.sh. With R15.0 R16.0 every function is recognised exactly from
#   its features (Visualisierung is komplett's; the others share Anzeige, Zeichnen, Export):
#   a run with nothing asked and the upgrade to 2.0.0 keep it, and the dialog shows it
#   chosen (buttons: 1 komplett, 2 betrachter, 3 zeichner, 4 exporteur, 5 konstrukteur; with
#   R15.0 alone komplett is not offered and exporteur is 3). With R16.0 alone komplett, the
#   first function, installs all that betrachter does and more: betrachter stays.
#   0.9.0 has no hostgate: what its ADDLOCAL chose no function gives exactly, so 1.0.0 keeps
#   all of it, exporteur is the closest function, and the log names Visualisierung as what
#   choosing it would drop (drop:FEATURE in the keys column); Next on the dialog is that
#   choice. With Export removed by hand, konstrukteur's features are zeichner's exactly:
#   drafting then recognises zeichner, while drafting-remember takes the konstrukteur it
#   remembers (function:VALUE, the value its Kern row writes with [FUNCTION_VER]) and
#   installs Export again. Named on a first installation, where its search finds nothing,
#   a function the machine cannot take stops it as in drafting.
#   komplett installed, then R16.0 removed: no function fits what is installed, and runs with
#   nothing asked keep every function feature (Anbindung2004 goes with its release; drafting
#   adds Anbindung2000 for konstrukteur, the closest, and keeps it once R16.0 is back).
#   drafting-renamed, 2.0.0 of drafting-remember with konstrukteur's Value renamed
#   konstruktion, reads back a value that is no function of it: ignored, the installed
#   features recognised, the upgrade keeps them under the new value.
#   Feature lists on a change: ADDLOCAL=ALL with another function gives what a first
#   installation with the same list gives (the sample: no acad2007, network or other function).
#   drafting-remember remembers komplett, which nobody changed: it stays komplett, keeps its
#   features and adds none, and is komplett again once R16.0 is back.
#
# mode | package | hosts | away | road | arguments | files | products registered | SurveyTools or ThermalTools keys | end
steps=$(cat <<'STEPS'
*|sample|R15.0 R16.0||install||acad2000 acad2004 core viewer|sample|
*|sample|R15.0 R16.0||install|FUNCTION_VER=EDITOR-PRO|acad2004 core editor|sample|
s|sample|R15.0 R16.0||code/qr||acad2004 core editor|sample|
s|sample|R15.0 R16.0||code/qb|FUNCTION_VER=viewer|acad2000 acad2004 core viewer|sample|
s|sample|R15.0 R16.0||code/qr|FUNCTION_VER=EDITOR-PRO|acad2004 core editor|sample|
s|sample|R15.0 R16.0||code/qn|ADDLOCAL=ALL FUNCTION_VER=viewer|acad2000 acad2004 core viewer|sample|
s|sample|R15.0 R16.0||code/qn|ADDLOCAL=ALL FUNCTION_VER=EDITOR-PRO|acad2004 core editor|sample|
s|sample|R15.0 R16.0|source|code/qr||acad2004 core editor|sample|
s|sample|R15.0 R16.0|source|code/qb||acad2004 core editor|sample|
s|sample|R15.0 R16.0|source|code/qn|FUNCTION_VER=viewer|acad2004 core editor|sample||1603 3000
s|sample|R15.0 R16.0||code/qn|FUNCTION_VER=network|acad2004 core editor|sample||1603 3000
d|sample|R15.0 R16.0||dialog|-|acad2004 core editor|sample|
d|sample|R15.0 R16.0||dialog|1|acad2000 acad2004 core viewer|sample|
d|sample|R15.0 R16.0||code/dialog|-|acad2000 acad2004 core viewer|sample|
d|sample|R15.0 R16.0||code/dialog|2|acad2004 core editor|sample|
d|sample|R15.0 R16.0|source|code/dialog|-|acad2004 core editor|sample|
d|sample|R15.0 R16.0||code/qr|FUNCTION_VER=viewer|acad2000 acad2004 core viewer|sample|
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
s|survey|R15.0 R16.0 R17.0||repair|ADDLOCAL=ALL|core host17 office reports|survey|R17.0
s|survey|R15.0 R16.0 R17.0||remove|||||
s|thermal|R16.1||install|FUNCTION_VER=analyse NOTHERMAL=1|analysis core docs|thermal|function:analyse
s|thermal|R16.1||install|FUNCTION_VER=full NOTHERMAL=1|core docs link2004 reports|thermal|R16.1\ACAD-301:409 function:full
s|thermal|R16.1||remove|||||
s|thermal|R16.1||install|FUNCTION_VER=full NODOCS=1|core link2004 reports thermal|thermal|R16.1\ACAD-301:409 function:full
s|thermal|R16.1||install|FUNCTION_VER=analyse|analysis core thermal|thermal|function:analyse
s|thermal|R16.1||remove|||||
s|thermal|R16.0 R16.1||install|FUNCTION_VER=full|core docs link2004 reports thermal|thermal|R16.1\ACAD-301:409 function:full
s|thermal|R16.0 R16.1||install||core docs link2004 reports thermal|thermal|R16.1\ACAD-301:409 function:full
s|thermal|R16.0 R16.1||remove|||||
s|thermal-swapped|R16.0 R16.1||install|FUNCTION_VER=full|core docs link2004 reports thermal|thermal-swapped|R16.1\ACAD-301:409 function:full
s|thermal-swapped|R16.0 R16.1||install||core docs link2004 reports thermal|thermal-swapped|R16.1\ACAD-301:409 function:full
s|thermal-swapped|R16.0 R16.1||remove|||||
s|thermal|R16.1 R17.0||install|FUNCTION_VER=analyse|analysis core docs link2007 thermal|thermal|R17.0\ACAD-5001:409 function:analyse
s|thermal|R16.1 R17.0|core|code/repair||analysis core docs link2007 thermal|thermal|R17.0\ACAD-5001:409 function:analyse
s|thermal-2|R16.1||install||analysis core docs thermal|thermal-2|function:analyse
s|thermal-2|R16.1||remove|||||
s|thermal-image|R16.1||install|FUNCTION_VER=draft|core docs draft link2004|thermal-image|R16.1\ACAD-301:409 function:draft
s|thermal-image|R16.1||remove|||||
s|thermal-image|R16.1||install|FUNCTION_VER=full|core docs link2004 reports thermal|thermal-image|R16.1\ACAD-301:409 function:full
s|thermal-image|R16.1||remove|||||
*|thermal-image|R16.1||install|FUNCTION_VER=analyse|analysis core docs thermal|thermal-image|function:analyse
s|thermal-image|R16.1|source/cabs/full.cab|code/qn|FUNCTION_VER=full|core docs link2004 thermal|thermal-image|R16.1\ACAD-301:409 function:full
s|thermal-image|R16.1||code/qb|FUNCTION_VER=full|core docs link2004 reports thermal|thermal-image|R16.1\ACAD-301:409 function:full
s|thermal-image|R16.1|reports|code/repair||core docs link2004 reports thermal|thermal-image|R16.1\ACAD-301:409 function:full
d|thermal-image|R16.1||code/dialog|1|core docs draft link2004|thermal-image|R16.1\ACAD-301:409 function:draft
*|thermal-image|R16.1||remove|||||
*|drafting|R15.0 R16.0||install|FUNCTION_VER=zeichner|anbindung2000 anbindung2004 anzeige kern zeichnen|drafting|
s|drafting|R15.0 R16.0||install||anbindung2000 anbindung2004 anzeige kern zeichnen|drafting|
s|drafting|R15.0 R16.0||install|FUNCTION_VER=exporteur|anbindung2000 anbindung2004 anzeige export kern|drafting|
s|drafting|R15.0 R16.0||code/qn|FUNCTION_VER=zeichner|anbindung2000 anbindung2004 anzeige kern zeichnen|drafting|
d|drafting|R15.0 R16.0||dialog|-|anbindung2000 anbindung2004 anzeige kern zeichnen|drafting|
d|drafting|R15.0 R16.0||dialog|4|anbindung2000 anbindung2004 anzeige export kern|drafting|
d|drafting|R15.0 R16.0||dialog|3|anbindung2000 anbindung2004 anzeige kern zeichnen|drafting|
*|drafting-2|R15.0 R16.0||install||anbindung2000 anbindung2004 anzeige kern zeichnen|drafting-2|
*|drafting-2|R15.0 R16.0||remove|||||
s|drafting|R15.0 R16.0||install|FUNCTION_VER=komplett|anbindung2004 anzeige export kern visualisierung zeichnen|drafting|
s|drafting|R15.0 R16.0||install||anbindung2004 anzeige export kern visualisierung zeichnen|drafting|
s|drafting-2|R15.0 R16.0||install||anbindung2004 anzeige export kern visualisierung zeichnen|drafting-2|
s|drafting-2|R15.0 R16.0||remove|||||
s|drafting|R15.0 R16.0||install|FUNCTION_VER=betrachter|anbindung2000 anbindung2004 anzeige kern|drafting|
s|drafting|R15.0 R16.0||install||anbindung2000 anbindung2004 anzeige kern|drafting|
s|drafting-2|R15.0 R16.0||install||anbindung2000 anbindung2004 anzeige kern|drafting-2|
s|drafting-2|R15.0 R16.0||remove|||||
s|drafting|R15.0 R16.0||install|FUNCTION_VER=exporteur|anbindung2000 anbindung2004 anzeige export kern|drafting|
s|drafting|R15.0 R16.0||install||anbindung2000 anbindung2004 anzeige export kern|drafting|
s|drafting-2|R15.0 R16.0||install||anbindung2000 anbindung2004 anzeige export kern|drafting-2|
s|drafting-2|R15.0 R16.0||remove|||||
s|drafting|R15.0 R16.0||install|FUNCTION_VER=konstrukteur|anbindung2000 anbindung2004 anzeige export kern zeichnen|drafting|
s|drafting|R15.0 R16.0||install||anbindung2000 anbindung2004 anzeige export kern zeichnen|drafting|
s|drafting-2|R15.0 R16.0||install||anbindung2000 anbindung2004 anzeige export kern zeichnen|drafting-2|
s|drafting-2|R15.0 R16.0||remove|||||
s|drafting|R16.0||install|FUNCTION_VER=betrachter|anbindung2004 anzeige kern|drafting|
s|drafting|R16.0||install||anbindung2004 anzeige kern|drafting|
s|drafting|R16.0||remove|||||
*|drafting|R15.0||install|FUNCTION_VER=komplett||||1603 3000
s|drafting|R15.0||install||anbindung2000 anzeige kern|drafting|
s|drafting|R15.0||remove|||||
*|drafting-0.9|R15.0||install|ADDLOCAL=Kern,Anzeige,Export,Visualisierung,Anbindung2000|anbindung2000 anzeige export kern visualisierung|drafting-0.9|
*|drafting|R15.0||install||anbindung2000 anzeige export kern visualisierung|drafting|drop:Visualisierung
s|drafting|R15.0||install||anbindung2000 anzeige export kern visualisierung|drafting|drop:Visualisierung
d|drafting|R15.0||dialog|-|anbindung2000 anzeige export kern|drafting|drop:Visualisierung
*|drafting|R15.0||remove|||||
*|drafting-remember|R15.0||install|FUNCTION_VER=komplett||||1603 3000
*|drafting-remember|R15.0 R16.0||install|FUNCTION_VER=konstrukteur|anbindung2000 anbindung2004 anzeige export kern zeichnen|drafting-remember|function:konstrukteur
*|drafting-remember|R15.0 R16.0||install|REMOVE=Export|anbindung2000 anbindung2004 anzeige kern zeichnen|drafting-remember|function:konstrukteur
s|drafting-remember|R15.0 R16.0||install||anbindung2000 anbindung2004 anzeige export kern zeichnen|drafting-remember|function:konstrukteur
d|drafting-remember|R15.0 R16.0||dialog|-|anbindung2000 anbindung2004 anzeige export kern zeichnen|drafting-remember|function:konstrukteur
*|drafting-remember|R15.0 R16.0||remove|||||
s|drafting-remember|R15.0 R16.0||install|FUNCTION_VER=konstrukteur|anbindung2000 anbindung2004 anzeige export kern zeichnen|drafting-remember|function:konstrukteur
s|drafting-renamed|R15.0 R16.0||install||anbindung2000 anbindung2004 anzeige export kern zeichnen|drafting-renamed|function:konstruktion
s|drafting-renamed|R15.0 R16.0||remove|||||
s|drafting|R15.0 R16.0||install|FUNCTION_VER=konstrukteur|anbindung2000 anbindung2004 anzeige export kern zeichnen|drafting|
s|drafting|R15.0 R16.0||install|REMOVE=Export|anbindung2000 anbindung2004 anzeige kern zeichnen|drafting|
s|drafting|R15.0 R16.0||install||anbindung2000 anbindung2004 anzeige kern zeichnen|drafting|
s|drafting|R15.0 R16.0||remove|||||
s|drafting|R15.0 R16.0||install|FUNCTION_VER=komplett|anbindung2004 anzeige export kern visualisierung zeichnen|drafting|
s|drafting|R15.0||install||anbindung2000 anzeige export kern visualisierung zeichnen|drafting|drop:Anbindung2004 drop:Visualisierung
s|drafting|R15.0||install||anbindung2000 anzeige export kern visualisierung zeichnen|drafting|drop:Visualisierung
s|drafting|R15.0 R16.0||install||anbindung2000 anbindung2004 anzeige export kern visualisierung zeichnen|drafting|drop:Anbindung2000
s|drafting|R15.0 R16.0||remove|||||
s|drafting-remember|R15.0 R16.0||install|FUNCTION_VER=komplett|anbindung2004 anzeige export kern visualisierung zeichnen|drafting-remember|function:komplett
s|drafting-remember|R15.0||install||anzeige export kern visualisierung zeichnen|drafting-remember|function:komplett
s|drafting-remember|R15.0||install||anzeige export kern visualisierung zeichnen|drafting-remember|function:komplett
s|drafting-remember|R15.0 R16.0||install||anbindung2004 anzeige export kern visualisierung zeichnen|drafting-remember|function:komplett
s|drafting-remember|R15.0 R16.0||remove|||||
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
    local hive key loader release queries=()
    for hive in HKLM HKCU; do
        queries+=("reg query $hive\\Software\\Autodesk /s" "reg query $hive\\Applications\\SurveyTools")
    done
    wine_run cmd /c "$(printf '%s & ' "${queries[@]}")rem" 2>/dev/null | tr -d '\r' | awk '
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
# The value thermal-tools' Core row writes with [FUNCTION_VER], as function:VALUE.
function_value() {
    wine_run reg query 'HKCU\Software\Thermal Works\Thermal Tools' /v Function 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *Function *REG_SZ *\(.*\)$/function:\1/p'
}
# What drafting-tools leaves to read: function:VALUE, the value drafting-remember's Kern row
# writes with [FUNCTION_VER], and drop:FEATURE for each feature of the package that
# PrevInstall's log names as one a choice would drop.
drafting_facts() {  # drafting_facts PACKAGE LOG
    local feature
    wine_run reg query 'HKLM\Software\Zeichenbuero\Zeichenwerkzeuge' /v Funktion 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *Funktion *REG_SZ *\(.*\)$/function:\1/p'
    for feature in $(table "$1" Feature | cut -f1); do
        grep -a '^hostgate PrevInstall: .*drop' "$2" 2>/dev/null | grep -qw -- "$feature" && echo "drop:$feature"
    done
}

# --- The run ------------------------------------------------------------------------------------
start_run "$mode" "$build" "$work"
for name in "${!msi[@]}"; do
    case $name in
    sample) cp -r "$build/sample/source" "$work/sample" ;;
    contour) every_road_variant contour "$build/packages/contour-tools/source" ;;
    survey) every_road_variant survey "$build/packages/survey-tools/source" ;;
    thermal-image) admin_image "$build/packages/thermal-tools/cabinets/thermal-tools.msi" "$work/thermal-image" ;;
    esac || echo "FAIL  the $name package could not be laid out"
    product[$name]=$(property_of "${msi[$name]}" ProductCode)
done

passed=0 failed=0 planted=unknown
while IFS='|' read -r when package hosts away road arguments files products keys end; do
    [ "$when" = '*' ] || [ "$when" = "${mode:0:1}" ] || continue
    package_file=${msi[$package]} installed=${folder[$package]}
    [ "$hosts" = "$planted" ] || plant_hosts "$hosts"
    planted=$hosts
    # The road starts from the package, or (code/ROAD) from the product code.
    start=$package_file
    [[ $road == code/* ]] && start=${product[$package]}
    case $away in
    '') moved='' gone='' ;;
    source*) moved="$(dirname "$package_file")${away#source}" gone=" (${away#source/} gone from the source)"
        [ "$away" = source ] && gone=" (source gone)" ;;
    *) moved='' gone=" ($away.txt deleted)"
        rm -f "$drive_c/Program Files/$installed/$away.txt" ;;
    esac
    [ -z "$moved" ] || mv "$moved" "$moved.away"
    step="$package: $road${arguments:+ $arguments}$gone (hosts: ${hosts:-none})"
    if [ "${road#code/}" = dialog ]; then
        choice="button $arguments"
        [ "$arguments" = - ] && choice="Next on the function shown chosen"
        step="$package: $road, $choice$gone (hosts: $hosts)"
    fi
    rm -f "$drive_c/maintenance.log"
    read -r -a properties <<<"$arguments"
    case ${road#code/} in
    remove) result=$(msiexec_run /x "${product[$package]}" /qn /l*v 'C:\maintenance.log') ;;
    dialog)
        # shellcheck disable=SC2086  # the buttons are words
        result=$("$root/sample/choose.sh" "$HOSTGATE_WINEPREFIX" "$start" 'C:\maintenance.log' $arguments)
        [ $? = 77 ] && { echo "SKIPPED: no display server could be started"; exit 77; } ;;
    *)
        [ "$start" = "$package_file" ] && start=$(windows_path "$package_file")
        case ${road#code/} in
        install) options=(/qn) ;;
        repair) options=(REINSTALL=ALL REINSTALLMODE=vomus /qn) ;;
        *) options=("/${road#code/}") ;;
        esac
        result=$(msiexec_run /i "$start" "${options[@]}" /l*v 'C:\maintenance.log' "${properties[@]}") ;;
    esac
    [ -z "$moved" ] || mv "$moved.away" "$moved"
    expected="$(expected_end "$end"); files: $(sorted "$files"); registered: $(sorted "$products")"
    got="$(got_end "$end" "$result" "$package_file" "$drive_c/maintenance.log"); files: $(files_in "$installed"); registered: $(registered_products)"
    if [ "$package" = survey ]; then
        expected="$expected; SurveyTools keys: $(sorted "$keys")"
        got="$got; SurveyTools keys: $(survey_keys)"
    elif [ "${package%%-*}" = thermal ]; then
        expected="$expected; ThermalTools keys: $(sorted "$keys")"
        got="$got; ThermalTools keys: $(sorted "$(application_keys ThermalTools) $(function_value)")"
    elif [ "${package%%-*}" = drafting ]; then
        expected="$expected; remembered and named: $(sorted "$keys")"
        got="$got; remembered and named: $(sorted "$(drafting_facts "$package_file" "$drive_c/maintenance.log" | xargs)")"
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
rules_verdict || failed=$((failed + 1))
echo "$passed steps passed, $failed failed"
WINEPREFIX=$HOSTGATE_WINEPREFIX wineserver -k 2>/dev/null
[ "$failed" = 0 ]
