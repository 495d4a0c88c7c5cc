# shellcheck shell=bash
# Shared by the end-to-end tests that run a real msiexec under Wine (sourced, not run).
# The caller sets root (the source tree) and HOSTGATE_WINEPREFIX (a prefix of the test's own).
# shellcheck disable=SC2154  # root is the caller's
drive_c="$HOSTGATE_WINEPREFIX/drive_c"
wine_run() { "$root/cmake/wine-run.sh" "$@" </dev/null; }
# The rows of a package's table, tab-separated, without the three header lines.
table() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4; }
property_of() { table "$1" Property | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }
registered() { wine_run reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1" >/dev/null 2>&1; }
# The files under Program Files\FOLDER, names without ".txt", sorted, on one line.
files_in() { find "$drive_c/Program Files/$1" -type f -printf '%f\n' 2>/dev/null | sed 's/\.txt$//' | sort | xargs; }
sorted() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort | paste -sd' '; }
# msiexec's exit status is cut to 8 bits under Wine: a batch file reports the whole code.
msiexec_run() { { wine_run cmd /c 'C:\hostgate-run.bat' "$@" 2>/dev/null || true; } | tr -d '\r' | grep '^exit code ' || echo "exit code unknown"; }

# The host releases as their own setups register them: R15.0 per machine, later ones per
# user, each with the current version's product key in CurVer.
declare -A host_current=([R15.0]=ACAD-1:409 [R16.0]=ACAD-201:409 [R16.1]=ACAD-301:409 [R16.2]=ACAD-4001:409 [R17.0]=ACAD-5001:409)
host_key() {  # host_key RELEASE: the release's key, with its hive
    local hive=HKCU
    [ "$1" = R15.0 ] && hive=HKLM
    echo "$hive\\Software\\Autodesk\\AutoCAD\\$1"
}
# plant_hosts "R15.0 R16.0": exactly these releases installed ("": none). A release written
# RELEASE:TYPE:DATA gets CurVer of that type, as `reg add /t TYPE /d DATA` writes it
# (R16.1:REG_BINARY:42310000, R16.1:REG_DWORD:0). One cmd runs every reg command: each Wine
# start costs a quarter of a second.
plant_hosts() {
    local release word type data commands=()
    for release in "${!host_current[@]}"; do
        type='' data=''
        for word in $1; do
            [ "${word%%:*}" = "$release" ] || continue
            type=REG_SZ data=${host_current[$release]}
            [[ $word == *:* ]] && IFS=: read -r _ type data <<<"$word"
        done
        if [ -n "$type" ]; then
            commands+=("reg add $(host_key "$release") /v CurVer /t $type /d $data /f")
        else
            # The whole tree, as the release's own uninstaller leaves it.
            commands+=("reg delete $(host_key "$release") /f")
        fi
    done
    wine_run cmd /c "$(printf '%s & ' "${commands[@]}")rem" >/dev/null 2>&1
}
# Every Applications\NAME key on the machine, sorted on one line: one under a release's key
# (in the release's own hive) as RELEASE\SUBKEY, any other as its whole path (a row written
# under an empty release property lands at HKCU\Applications\NAME or HKLM\Applications\NAME).
application_keys() {  # application_keys NAME
    local key release queries
    queries="reg query HKLM\\Software\\Autodesk /s & reg query HKCU\\Software\\Autodesk /s"
    queries+=" & reg query HKLM\\Applications\\$1 & reg query HKCU\\Applications\\$1"
    wine_run cmd /c "$queries" 2>/dev/null | tr -d '\r' | grep -E "^HKEY_.*\\\\Applications\\\\$1\$" |
        sed 's/^HKEY_LOCAL_MACHINE/HKLM/; s/^HKEY_CURRENT_USER/HKCU/' |
        while IFS= read -r key; do
            release=$(sed -n 's/^HK[LMCU]*\\Software\\Autodesk\\AutoCAD\\\([^\\]*\)\\.*/\1/p' <<<"$key")
            if [ -n "$release" ] && [[ $key == "$(host_key "$release")\\"* ]]; then
                key=${key#"$(host_key "$release")\\"}
                echo "$release\\${key%\\Applications\\"$1"}"
            else
                echo "$key"
            fi
        done | sort | paste -sd' '
}

# A fresh prefix with the batch file for msiexec_run, and the sample's support runtime deployed
# beforehand (the setup program's work), so that its RunSuportPacks finds it present.
prepare_prefix() {  # prepare_prefix BUILD_DIR
    rm -rf "$HOSTGATE_WINEPREFIX"
    wine_run wineboot >/dev/null 2>&1
    printf '@echo off\r\nmsiexec %%*\r\necho exit code %%ERRORLEVEL%%\r\n' >"$drive_c/hostgate-run.bat"
    wine_run msiexec /i "$(wine_run winepath -w "$1/sample/source/support/runtime.msi")" /qn RUNTIME_MODE=predeployed
}

# The start of a run: a dialog run needs a display server (exit 77, skipped, without one);
# then a fresh work folder and prefix.
start_run() {  # start_run MODE BUILD WORK
    if [ "$1" = dialog ]; then
        for tool in Xvfb xdotool; do
            command -v "$tool" >/dev/null || { echo "SKIPPED: no display server: $tool is missing"; exit 77; }
        done
    fi
    rm -rf "$3"
    mkdir -p "$3"
    prepare_prefix "$2"
}
