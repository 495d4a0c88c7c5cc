# shellcheck shell=bash
# Shared by the end-to-end tests that run a real msiexec under Wine (sourced, not run).
# The caller sets root (the source tree), then calls road_folders.
# shellcheck disable=SC2154  # root is the caller's

# The prologue of a road test: build (the build folder, or under Windows' rules its stand-in),
# work (the test's own folder) and HOSTGATE_WINEPREFIX (its own prefix), and drive_c in it.
# Under Windows' rules (HOSTGATE_WINDOWS_RULES set, as the WindowsRules.* roads set it) every
# package the test installs is a copy whose library is the rules build (bin/hostgate-rules.dll):
# the same actions, with each installer and registry call of the library answered as Windows
# answers it, and what a road must never meet written to HOSTGATE_RULES_LOG (see rules_verdict).
road_folders() {  # road_folders BUILD NAME
    build=$(cd "$1" && pwd)
    prefix_template="$build/road-prefix"
    if [ -n "${HOSTGATE_WINDOWS_RULES:-}" ]; then
        rules_build "$build" "$build/rules-$2" || { echo "FAIL  the packages could not be copied with the rules build"; exit 1; }
        build="$build/rules-$2"
        rules_log="$build/rules.log"
        rm -f "$rules_log"
        export HOSTGATE_RULES_LOG="Z:${rules_log//\//\\}"
    fi
    work="$build/$2"
    export HOSTGATE_WINEPREFIX="$build/$2-prefix"
    drive_c="$HOSTGATE_WINEPREFIX/drive_c"
}

# A stand-in for the build folder BUILD in SHADOW: its programs linked, its sample and packages
# copied with the library swapped for the rules build in every package that carries it.
rules_build() {  # rules_build BUILD SHADOW
    local package row rows
    rm -rf "$2"
    mkdir -p "$2"
    ln -s "$1/bin" "$1/planted" "$2/" || return 1
    cp -r "$1/sample" "$1/packages" "$2/" || return 1
    while IFS= read -r package; do
        rows=()
        for row in $(binary_rows "$package"); do
            msiinfo extract "$package" "Binary.$row" | cmp -s - "$1/bin/hostgate.dll" && rows+=("$row" "$1/bin/hostgate-rules.dll")
        done
        [ ${#rows[@]} = 0 ] || set_binaries "$package" "${rows[@]}" || return 1
    done < <(find "$2/sample" "$2/packages" -name '*.msi')
}

# The names of PACKAGE's Binary rows (msiinfo exports a table's streams into the current
# folder: a folder of its own takes them).
binary_rows() {  # binary_rows PACKAGE
    local folder
    folder=$(mktemp -d)
    (cd "$folder" && table "$1" Binary 2>/dev/null | cut -f1)
    rm -rf "$folder"
}

# Imports PACKAGE's Binary table again, each ROW given taking its data from FILE (a row added
# where the package has none of that name): msibuild imports whole tables.
set_binaries() {  # set_binaries PACKAGE [ROW FILE]...
    local package=$1 folder row file
    shift
    declare -A given=()
    while [ $# -ge 2 ]; do given[$1]=$2; shift 2; done
    folder=$(mktemp -d)
    mkdir -p "$folder/Binary"
    printf 'Name\tData\ns72\tv0\nBinary\tName\n' >"$folder/Binary.idt"
    for row in $(binary_rows "$package") "${!given[@]}"; do
        [ -e "$folder/Binary/$row.bin" ] && continue
        file=${given[$row]:-}
        if [ -n "$file" ]; then cp "$file" "$folder/Binary/$row.bin"; else msiinfo extract "$package" "Binary.$row" >"$folder/Binary/$row.bin"; fi || return 1
        printf '%s\t%s.bin\n' "$row" "$row" >>"$folder/Binary.idt"
    done
    (cd "$folder" && msibuild "$package" -i Binary.idt)
    local result=$?
    rm -rf "$folder"
    return $result
}

# Under Windows' rules, what the roads met that Windows would have refused or asked: each a
# FAIL line; false when there was any, or when the rules build never ran (it would have checked
# nothing). True, silently, without the rules.
rules_verdict() {
    [ -n "${HOSTGATE_WINDOWS_RULES:-}" ] || return 0
    local refused
    if ! grep -q '^rules on' "$rules_log" 2>/dev/null; then
        echo "FAIL  Windows' rules: the rules build of the library never ran"
        return 1
    fi
    refused=$(tr -d '\r' <"$rules_log" | grep -v '^rules on' | sort | uniq -c)
    [ -z "$refused" ] && return 0
    echo "FAIL  Windows' rules: the roads met what Windows refuses or asks:"
    sed 's/^/      /' <<<"$refused"
    return 1
}
wine_run() { "$root/cmake/wine-run.sh" "$@" </dev/null; }
# A file's path as the prefix's programs name it, as winepath -w gives it without starting Wine:
# C: for what lies in drive_c, Z: (the whole file system) for the rest.
windows_path() {  # windows_path PATH
    local path c
    path=$(realpath -m "$1") c=$(realpath -m "$drive_c")
    case $path in
    "$c"/*) path="C:${path#"$c"}" ;;
    *) path="Z:$path" ;;
    esac
    printf '%s\n' "${path//\//\\}"
}
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

# A fresh prefix: a copy of one booted once for every road of the build (a boot takes 13 s, a
# copy one).
fresh_prefix() {
    (
        flock 9
        [ -d "$prefix_template/drive_c" ] && exit 0
        rm -rf "$prefix_template"
        export WINEPREFIX=$prefix_template WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
        wineboot -i </dev/null >/dev/null 2>&1 9>&-
        wineserver -w 9>&-
    ) 9>"$prefix_template.lock"
    rm -rf "$HOSTGATE_WINEPREFIX"
    cp -a "$prefix_template" "$HOSTGATE_WINEPREFIX"
}

# A fresh prefix with the batch file for msiexec_run, and the sample's support runtime deployed
# beforehand (the setup program's work), so that its RunSuportPacks finds it present.
prepare_prefix() {  # prepare_prefix BUILD_DIR
    fresh_prefix
    printf '@echo off\r\nmsiexec %%*\r\necho exit code %%ERRORLEVEL%%\r\n' >"$drive_c/hostgate-run.bat"
    wine_run msiexec /i "$(windows_path "$1/sample/source/support/runtime.msi")" /qn RUNTIME_MODE=predeployed
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
    [ "$1" != dialog ] || start_screen
    prepare_prefix "$2"
}

# One virtual screen for a whole run of dialogs: sample/choose.sh installs on it with the
# prefix's server kept, rather than starting a screen and a server for each installation.
# Exit 77 when none can be started.
start_screen() {
    # shellcheck source=../sample/screen.sh
    . "$root/sample/screen.sh"
    virtual_screen
    [ -n "$screen_number" ] || { echo "SKIPPED: no display server could be started"; exit 77; }
    trap 'kill "$screen_process" 2>/dev/null' EXIT
    export HOSTGATE_DISPLAY=:$screen_number
}

# The end a row expects: "exit code N" (0 when the row names none), and for a message number
# after the code that the package's Error text for it is in the verbose log. Wine logs a
# posted error only when its own user interface did not show it: /qb and /qr rows name the
# exit code alone.
expected_end() {  # expected_end "[CODE [MESSAGE]]"
    local code message
    read -r code message <<<"$1"
    echo "exit code ${code:-0}${message:+; message $message logged}"
}
got_end() {  # got_end "[CODE [MESSAGE]]" RESULT PACKAGE LOG
    local code message text
    read -r code message <<<"$1"
    printf '%s' "$2"
    [ -n "$message" ] || { echo; return; }
    text=$(table "$3" Error | awk -F'\t' -v n="$message" '$1 == n { print $2 }')
    # msiinfo gives the package's text in UTF-8; Wine writes the log in its ANSI code page, 1252.
    # Not grep -q: its early exit would cut the pipe, and pipefail counts the writer's SIGPIPE.
    if [ -n "$text" ] && iconv -c -f CP1252 -t UTF-8 <"$4" 2>/dev/null | tr -d '\r' | grep -F -- "$text" >/dev/null; then
        echo "; message $message logged"
    else
        echo "; message $message not logged"
    fi
}

# An administrative image of PACKAGE laid out in IMAGE as Windows' administrative installation
# leaves one (Wine's msiexec /a answers 1626): the package and the files beside it, less the
# cabinets its Media table lists, whose files lie uncompressed in the folders the Directory
# table names; the summary information's word count says "administrative image" (4: long
# names, uncompressed). Wine's engine never sets IsAdminPackage, which Windows' installer
# sets for every installation from such a package; the image carries it in its
# AdminProperties stream, which Wine's engine reads for an administrative image.
admin_image() {  # admin_image PACKAGE IMAGE
    local package=$1 image=$2 cabinet file component name directory parent default path at
    rm -rf "$image"
    cp -r "$(dirname "$package")" "$image"
    # Each Directory row's folder in the source: its parent's, then the source half of
    # DefaultDir ("target:source", "short|long"; "." adds none).
    declare -A parent_of=() name_of=() folder_of=()
    while IFS=$'\037' read -r directory parent default; do
        default=${default#*:}
        parent_of[$directory]=$parent name_of[$directory]=${default#*|}
    done < <(table "$package" Directory | tr '\t' '\037')
    while IFS=$'\037' read -r component _ directory _; do
        path='' at=$directory
        while [ -n "$at" ]; do
            [ "${name_of[$at]}" = . ] || [ -z "${parent_of[$at]}" ] || path="${name_of[$at]}/$path"
            at=${parent_of[$at]}
        done
        folder_of[$component]=$path
    done < <(table "$package" Component | tr '\t' '\037')
    mkdir -p "$image/.files"
    for cabinet in $(table "$package" Media | cut -f4); do
        gcab -x -n -C "$image/.files" "$image/$cabinet" >/dev/null && rm "$image/$cabinet" || return 1
    done
    while IFS=$'\037' read -r file component name _; do
        mkdir -p "$image/${folder_of[$component]}"
        mv "$image/.files/$file" "$image/${folder_of[$component]}${name#*|}" || return 1
    done < <(table "$package" File | tr '\t' '\037')
    rmdir "$image/.files" || return 1
    printf 'IsAdminPackage=1\0' | iconv -f UTF-8 -t UTF-16LE >"$image/.admin"
    msibuild "$image/$(basename "$package")" -a AdminProperties "$image/.admin" && rm "$image/.admin" || return 1
    set_word_count "$image/$(basename "$package")" 4
}

# Sets the word count in a package's summary information (msibuild writes 0 and has no
# option for it): the property's four bytes are patched where the compound file keeps them.
set_word_count() {  # set_word_count PACKAGE VALUE
    python3 - "$1" "$2" <<'PY'
import struct, sys
path, value = sys.argv[1], int(sys.argv[2])
data = bytearray(open(path, 'rb').read())
u16 = lambda at: struct.unpack_from('<H', data, at)[0]
u32 = lambda at: struct.unpack_from('<I', data, at)[0]
size, mini, cutoff = 1 << u16(0x1E), 1 << u16(0x20), u32(0x38)
place = lambda sector: (sector + 1) * size
def chain(start, table):
    while start < 0xFFFFFFFA:
        yield start
        start = table[start]
def sectors_of(start, table):
    return [n for s in chain(start, table) for n in struct.unpack_from('<%dI' % (size // 4), data, place(s))]
if u32(0x48):
    sys.exit('more FAT sectors than the header lists: not handled')
fat = [n for i in range(109) if u32(0x4C + 4 * i) < 0xFFFFFFFA
       for n in struct.unpack_from('<%dI' % (size // 4), data, place(u32(0x4C + 4 * i)))]
directory = b''.join(data[place(s):place(s) + size] for s in chain(u32(0x30), fat))
minifat = sectors_of(u32(0x3C), fat)
root = list(chain(struct.unpack_from('<I', directory, 116)[0], fat))
for entry in range(len(directory) // 128):
    record = directory[entry * 128:(entry + 1) * 128]
    if record[:struct.unpack_from('<H', record, 64)[0]].decode('utf-16-le').rstrip('\0') != '\x05SummaryInformation':
        continue
    start, length = struct.unpack_from('<II', record, 116)
    if length < cutoff:
        offsets = [place(root[m * mini // size]) + m * mini % size + k for m in chain(start, minifat) for k in range(mini)]
    else:
        offsets = [place(s) + k for s in chain(start, fat) for k in range(size)]
    stream = bytes(data[at] for at in offsets[:length])
    section = struct.unpack_from('<I', stream, 44)[0]
    for i in range(struct.unpack_from('<I', stream, section + 4)[0]):
        pid, at = struct.unpack_from('<II', stream, section + 8 + 8 * i)
        if pid == 15 and struct.unpack_from('<I', stream, section + at)[0] == 3:  # PID_WORDCOUNT, VT_I4
            for k, byte in enumerate(struct.pack('<i', value)):
                data[offsets[section + at + 4 + k]] = byte
            open(path, 'wb').write(data)
            sys.exit(0)
sys.exit('no word count in the summary information of ' + path)
PY
}
