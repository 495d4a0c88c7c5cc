#!/usr/bin/env bash
# The roads that run the user-interface sequence, played apart as Windows plays them. Wine
# runs both sequences in one session; Windows runs the UI sequence in the client, which at
# ExecuteAction hands over to the server: an installation of its own that runs the execute
# sequence with only the public properties that may cross (every one for an administrator;
# for a user who is not one, installing per machine with elevated privileges, the restricted
# ones and the package's SecureCustomProperties) and the client's final feature states as
# ADDLOCAL/ADDSOURCE/ADVERTISE/REMOVE. Here each package is copied with RecordHandover
# (support/handover_client.cpp) in the UI sequence in place of ExecuteAction: it records the
# client's properties and feature states and ends the client. handover_server.exe then runs
# the copy's execute sequence from that record, once as each kind of user. Each road must
# give the files (and, where a package's rows write under a release's key, the keys) that
# the single-session roads give (roads_test.sh, maintenance_test.sh), unless the table says
# what Windows does instead; the product is then removed and must leave no file and no
# registration. Every road runs; each prints PASS or FAIL, and a FAIL shows the command line
# handed over, the messages the server posted and its hostgate log lines.
#   handover_test.sh BUILD_DIR dialog|silent [PATTERN]   (dialog: exit 77 when no display server starts)
# dialog: the dialog roads, chosen on the screen by sample/choose.sh; silent: reduced UI (/qr).
# PATTERN (grep -E) keeps only the roads whose table row, less its mode, matches, e.g. '^contour'.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=$2 pattern=${3:-}
# shellcheck source=msiexec_helpers.sh
. "$root/tests/msiexec_helpers.sh"
# A run of some roads only (a PATTERN) has folders of its own: CTest runs such parts side by side.
road_folders "$1" "handover-$mode${pattern:+-$(tr -c 'A-Za-z0-9' '_' <<<"$pattern")}"

# --- The packages, each copied with the client's end in place of ExecuteAction -----------------
declare -A source_of msi msi_path folder product
source_of[sample]="$build/sample/source/hostgate-sample.msi" folder[sample]="Hostgate Sample"
source_of[contour]="$build/packages/contour-tools/source/contour-tools.msi" folder[contour]="Contour Tools"
source_of[survey]="$build/packages/survey-tools/source/survey.msi" folder[survey]="Contour Works/Survey Tools"
source_of[thermal]="$build/packages/thermal-tools/source/thermal-tools.msi" folder[thermal]="Thermal Tools"
# The sample as an author who forgot FUNCTION_VER in SecureCustomProperties ships it.
source_of[sample-insecure]=${source_of[sample]} folder[sample-insecure]="Hostgate Sample"
record='C:\handover-record.txt'

handover_variant() {  # handover_variant NAME: the copy in $work/NAME, beside its source's files
    local name=$1 source package action condition sequence type query
    source=$(dirname "${source_of[$name]}")
    cp -r "$source" "$work/$name"
    package="$work/$name/$(basename "${source_of[$name]}")"
    msi[$name]=$package
    # The client's DLL beside the package's own.
    set_binaries "$package" handover "$build/bin/handover.dll" || return 1
    # The client's sequence ends at RecordHandover; the server's (SECONDSEQUENCE set, as Windows
    # sets it there) runs ExecuteAction alone, under the client's UI level, as Windows' does.
    while IFS=$'\t' read -r action condition; do
        [[ $condition != *\'* ]] || return 1
        case $action in
        ExecuteAction) condition=SECONDSEQUENCE ;;
        *) condition="${condition:+($condition) AND }NOT SECONDSEQUENCE" ;;
        esac
        msibuild "$package" -q "UPDATE \`InstallUISequence\` SET \`Condition\`='$condition' WHERE \`Action\`='$action'" || return 1
    done < <(table "$package" InstallUISequence | awk -F'\t' '{ print $1 "\t" $2 }')
    sequence=$(table "$package" InstallUISequence | awk -F'\t' '$1 == "ExecuteAction" { print $3 }')
    # One query per call: msibuild takes one -q.
    for query in "INSERT INTO \`InstallUISequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('RecordHandover', 'NOT SECONDSEQUENCE', $sequence)" \
        "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('RecordHandover', 1, 'handover', 'RecordHandover')" \
        "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('HandoverRecord', '$record')"; do
        msibuild "$package" -q "$query" || return 1
    done
    # On the server Windows skips an action typed to run once when the UI sequence ran (256) or
    # on the client only (768); one typed to run once per process (512) runs again there, as
    # the UI sequence ran in the client's process.
    while IFS=$'\t' read -r action type _; do
        [ $((type & 768)) = 256 ] || [ $((type & 768)) = 768 ] || continue
        msibuild "$package" -q "UPDATE \`InstallExecuteSequence\` SET \`Condition\`='0' WHERE \`Action\`='$action'" || return 1
    done < <(table "$package" CustomAction)
    if [ "$name" = sample-insecure ]; then
        local secure
        secure=$(property_of "$package" SecureCustomProperties | tr ';' '\n' | grep -vx FUNCTION_VER | paste -sd';')
        msibuild "$package" -q "UPDATE \`Property\` SET \`Value\`='$secure' WHERE \`Property\`='SecureCustomProperties'" || return 1
    fi
    product[$name]=$(property_of "$package" ProductCode)
    msi_path[$name]=$(windows_path "$package")
    [ "$(table "$package" InstallUISequence | awk -F'\t' '$1 == "RecordHandover" || $1 == "ExecuteAction" { print $1 ":" $2 }' | sort | xargs)" = \
        "ExecuteAction:SECONDSEQUENCE RecordHandover:NOT SECONDSEQUENCE" ]
}

# --- The roads and what each must give ------------------------------------------------------------
# Hosts as in roads_test.sh (R15.0 per machine, R16.0 and R16.1 per user). "before": the
# product installed first from the copy, so that the road is a change (msiexec /qn with these
# properties: the execute sequence alone, in which the copy has no type-256 or 768 action, so
# only packages with type-1 actions start from there). Client: "dialog BUTTONS" as choose.sh
# clicks them, or "qr PROPERTIES" (reduced UI: the UI sequence without its dialog). What
# each kind of user gets: the files, as in roads_test.sh and maintenance_test.sh, and after
# " / " (survey, thermal) the Applications keys their rows write under a release's key, as
# application_keys lists them; the last column, when set, is what a user who is not an
# administrator gets instead.
#   sample: viewer = acad2000 acad2004 core viewer; EDITOR-PRO = acad2004 core editor.
#   contour and survey (type 257 actions, no SecureCustomProperties): on the server their
#     actions are skipped and the client's feature states decide. Survey's rows write under
#     [HOST15] and [HOST16], which the client's PrevInstall set: a user who is not an
#     administrator does not hand them over, so the rows land at the hive's root
#     (HKLM\Applications for R15.0's row, HKCU\Applications for the others).
#   thermal is installed per user: every public property crosses for both kinds.
#   sample-insecure for a user who is not an administrator: FUNCTION_VER stays on the client,
#     the server plans the first offered function (viewer) over the client's lists, which
#     name the editor's features: the editor is withheld and the viewer's features, which no
#     list names, are not added. Core and the AutoCAD 2004 integration remain.
#
# mode | package | hosts | before | client | what both get | what a user who is not an administrator (and
# an administrator under UAC) gets
roads=$(cat <<'ROADS'
d|sample|R15.0 R16.0||dialog 1|acad2000 acad2004 core viewer|
d|sample|R15.0 R16.0||dialog 2 1|acad2000 acad2004 core viewer|
d|sample|R15.0 R16.0||dialog 2|acad2004 core editor|
d|sample|R15.0 R16.0||dialog 1 2|acad2004 core editor|
d|contour|R15.0 R16.0||dialog 2|core integration integration_r15 integration_r16 tools tools_common tools_pro tools_pro_help tools_pro_samples|
d|contour|R15.0 R16.0||dialog 3 2|core integration integration_r15 integration_r16 tools tools_common tools_pro tools_pro_help tools_pro_samples|
d|contour|R15.0 R16.0||dialog 1 2|core integration integration_r15 integration_r16 tools tools_common tools_pro tools_pro_help tools_pro_samples|
d|survey|R15.0 R16.0||dialog 2 1|core field host15 host16 reports / R15.0\ACAD-1:409 R16.0\ACAD-201:409|core field host15 host16 reports / HKCU\Applications\SurveyTools HKLM\Applications\SurveyTools
d|sample|R15.0 R16.0|FUNCTION_VER=EDITOR-PRO|dialog -|acad2004 core editor|
d|sample|R15.0 R16.0|FUNCTION_VER=EDITOR-PRO|dialog 1|acad2000 acad2004 core viewer|
d|thermal|R16.1|FUNCTION_VER=analyse|dialog 3|core docs link2004 reports thermal / R16.1\ACAD-301:409|
d|sample-insecure|R15.0 R16.0||dialog 2|acad2004 core editor|acad2004 core
s|sample|R15.0 R16.0||qr FUNCTION_VER=EDITOR-PRO|acad2004 core editor|
s|sample|||qr ACAD2004=Software\Autodesk\AutoCAD\R16.0\ACAD-201:409 FUNCTION_VER=EDITOR-PRO|acad2004 core editor|
s|contour|R15.0 R16.0||qr FUNCTION_VER=pro|core integration integration_r15 integration_r16 tools tools_common tools_pro tools_pro_help tools_pro_samples|
s|survey|R15.0 R16.0||qr FUNCTION_VER=office|core host16 office reports / R16.0\ACAD-201:409|core host16 office reports / HKCU\Applications\SurveyTools
s|thermal|R16.1||qr FUNCTION_VER=analyse NOTHERMAL=1|analysis core docs / |
s|sample|R15.0 R16.0|FUNCTION_VER=EDITOR-PRO|qr FUNCTION_VER=viewer|acad2000 acad2004 core viewer|
s|sample-insecure|R15.0 R16.0||qr FUNCTION_VER=EDITOR-PRO|acad2004 core editor|acad2004 core
ROADS
)
# The packages whose rows write an Applications\NAME key under a release's key.
declare -A app_key=([survey]=SurveyTools [thermal]=ThermalTools)

# --- The machine between the roads ---------------------------------------------------------------
# What the product left of its files and registration: "nothing", or what stays. (Survey's
# keys stay under the releases after a removal whatever the road: its actions carry
# "NOT Installed", so the removal does not know the releases' keys; see authoring.md.)
leftovers() {  # leftovers NAME
    local files
    files=$(files_in "${folder[$1]}")
    if [ -n "$files" ]; then echo "files $files"
    elif registered "${product[$1]}"; then echo "still registered"
    else echo nothing
    fi
}
# Removes the product and whatever a road left of it, keys included.
clean() {  # clean NAME
    local key keys=()
    registered "${product[$1]}" && msiexec_run /x "${product[$1]}" /qn >/dev/null
    rm -rf "${drive_c:?}/Program Files/${folder[$1]}"
    [ -n "${app_key[$1]:-}" ] || return 0
    for key in $(application_keys "${app_key[$1]}"); do
        # RELEASE\SUBKEY under the release's own key, or a whole path
        [[ $key == HK* ]] || key="$(host_key "${key%%\\*}")\\${key#*\\}\\Applications\\${app_key[$1]}"
        keys+=("reg delete $key /f")
    done
    [ ${#keys[@]} = 0 ] || wine_run cmd /c "$(printf '%s & ' "${keys[@]}")rem" >/dev/null 2>&1
}
# The product as the road starts from it, on a clean machine: none, or installed silently
# from the copy.
prepare() {  # prepare NAME BEFORE: the result, "exit code 0" when ready
    if [ -z "$2" ]; then echo "exit code 0"; return; fi
    read -r -a properties <<<"$2"
    msiexec_run /i "${msi_path[$1]}" /qn "${properties[@]}"
}

# --- The run --------------------------------------------------------------------------------------
start_run "$mode" "$build" "$work"
started=$SECONDS
rows=$(pattern=$pattern awk -v mode="${mode:0:1}" '{ row = $0; sub(/^[^|]*[|]/, "", row) } substr($0, 1, 1) == mode && row ~ ENVIRON["pattern"]' <<<"$roads")
failed=0
while read -r name; do
    handover_variant "$name" && continue
    echo "FAIL  the copy of $name with the client's end could not be built"
    failed=$((failed + 1))
    rows=$(awk -F'|' -v name="$name" '$2 != name' <<<"$rows")
done < <(cut -d'|' -f2 <<<"$rows" | sort -u)

passed=0 planted=unknown
record_copy=$(windows_path "$work/record.txt")
while IFS='|' read -r _ name hosts before client files user_gets; do
    [ -n "$name" ] || continue
    [ "$hosts" = "$planted" ] || plant_hosts "$hosts"
    planted=$hosts
    road="$name: ${before:+installed with $before, then }${client/#dialog/dialog, buttons}"
    [ "$hosts" = "R15.0 R16.0" ] || road="$road (hosts: ${hosts:-none})"
    rm -f "$drive_c/handover-record.txt" "$drive_c/client.log"

    # The client, once: both kinds of user run the same user-interface sequence.
    ready=$(prepare "$name" "$before")
    read -r -a words <<<"$client"
    if [ "${words[0]}" = dialog ]; then
        client_result=$("$root/sample/choose.sh" "$HOSTGATE_WINEPREFIX" "${msi[$name]}" 'C:\client.log' "${words[@]:1}")
        [ $? = 77 ] && { echo "SKIPPED: no display server could be started"; exit 77; }
    else
        client_result=$(msiexec_run /i "${msi_path[$name]}" /qr /l*v 'C:\client.log' "${words[@]:1}")
    fi
    cp "$drive_c/handover-record.txt" "$work/record.txt" 2>/dev/null || rm -f "$work/record.txt"

    # Under Windows' rules the administrator is one under UAC, whose client runs unelevated.
    for kind in $([ -n "${HOSTGATE_WINDOWS_RULES:-}" ] && echo uac-administrator || echo administrator) user; do
        gets=$files
        [ "$kind" != administrator ] && [ -n "$user_gets" ] && gets=$user_gets
        expected="before: exit code 0; client: exit code 1602, recorded; server: exit code 0; files: $(sorted "${gets% / *}")"
        [ -z "${app_key[$name]:-}" ] || expected="$expected; ${app_key[$name]} keys: $(sorted "${gets#* / }")"
        # The second kind starts from the same machine as the first did.
        [ "$kind" = administrator ] || ready=$(prepare "$name" "$before")
        recorded=$([ -s "$work/record.txt" ] && echo ", recorded" || echo ", no record")
        rm -f "$drive_c/server.log"
        server=$(wine_run "$build/bin/handover_server.exe" "${msi_path[$name]}" "$record_copy" "$kind" 'C:\server.log' | tr -d '\r')
        got="before: $ready; client: $client_result$recorded; server: $(grep '^exit code' <<<"$server" || echo "not started"); files: $(files_in "${folder[$name]}")"
        [ -z "${app_key[$name]:-}" ] || got="$got; ${app_key[$name]} keys: $(application_keys "${app_key[$name]}")"
        # Removed again (msiexec /x runs the execute sequence alone): no file, no registration.
        removal=$(msiexec_run /x "${product[$name]}" /qn)
        expected="$expected; removal: exit code 0, nothing"
        left=$(leftovers "$name")
        got="$got; removal: $removal, $left"
        if [ "$got" = "$expected" ]; then
            echo "PASS  $road ($kind)"
            passed=$((passed + 1))
        else
            printf 'FAIL  %s (%s)\n      expected %s\n      got      %s\n' "$road" "$kind" "$expected" "$got"
            grep -E '^(command line|withheld|message):' <<<"$server" | sed 's/^/      /'
            tr -d '\r' <"$drive_c/server.log" 2>/dev/null | grep -E '^hostgate ' | sed 's/^/      server log: /'
            failed=$((failed + 1))
        fi
        if [ "$left" != nothing ] || [ -n "${app_key[$name]:-}" ]; then clean "$name"; fi
    done
done <<<"$rows"
rules_verdict || failed=$((failed + 1))
echo "$passed roads passed, $failed failed, in $((SECONDS - started)) s"
WINEPREFIX=$HOSTGATE_WINEPREFIX wineserver -k 2>/dev/null
[ "$failed" = 0 ]
