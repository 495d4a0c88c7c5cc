#!/usr/bin/env bash
# Release check of the built DLL: a 32-bit PE, exactly the four actions and the fourth's
# rollback exported under their plain names, nothing imported but Windows' own DLLs, and
# small. With the setup program: a
# 32-bit PE that imports kernel32 and the C runtime (msvcrt) only (the loader looks beside
# it for any other DLL first), and asks for no elevation of its own. Every binary calls
# Windows through the wide (...W) API only: text outside the system's ANSI code page would turn
# into "?" in an ANSI (...A) call.
#   release_check.sh DLL [BUILD_TYPE [SETUP_EXE [CHECK_EXE]]]     (a Debug build is not optimised: its size is only reported)
set -u
dll=$1
type=${2:-}
setup=${3:-}
checker=${4:-}
checks=5
limit=$((256 * 1024))
failures=0
check() {  # check DESCRIPTION CONDITION...
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
# The ANSI functions a binary imports from Windows' DLLs: a name ending in a capital A after
# a lower-case letter or digit (RegOpenKeyExA, MsiGetPropertyA, CreateProcessA...). The C
# runtime (msvcrt.dll) is not Windows' API and is not listed. Allowed, by name, are the few
# that the compiler's own runtime calls with no text of the program's: libgcc's frame
# registration (GetModuleHandleA, LoadLibraryA of its own DLL's name), the thread library
# (CreateEventA, CreateSemaphoreA without names, OutputDebugStringA) and libstdc++'s system
# error messages (FormatMessageA).
runtime_ansi=" GetModuleHandleA LoadLibraryA CreateEventA CreateSemaphoreA OutputDebugStringA FormatMessageA "
ansi_imports() {  # ansi_imports OBJDUMP-TEXT
    printf '%s\n' "$1" | awk '/DLL Name:/ { dll = tolower($3) } /^\t[0-9a-f]+\t? *[0-9]+ +[A-Za-z_]/ { if (dll != "msvcrt.dll") print $NF }' |
        grep -E '[a-z0-9]A$' | while read -r name; do [[ $runtime_ansi == *" $name "* ]] || printf '%s ' "$name"; done
}
# The installer's functions that a custom action must never call, from Windows Installer's
# documentation, "Functions Not for Use in Custom Actions" (its database and installer lists),
# with the advertising ones it names for a custom action that would start another installation.
# Wine's engine allows them all, so only the imports can show one.
forbidden=" MsiConfigureProduct MsiConfigureProductEx MsiCreateTransformSummaryInfo MsiDatabaseApplyTransform
 MsiDatabaseCommit MsiDatabaseExport MsiDatabaseGenerateTransform MsiDatabaseImport MsiDatabaseMerge MsiEnableLog
 MsiEnableUIPreview MsiGetDatabaseState MsiOpenDatabase MsiPreviewBillboard MsiPreviewDialog MsiReinstallProduct
 MsiSetExternalUI MsiSetExternalUIRecord MsiSetInternalUI MsiApplyPatch MsiCollectUserInfo MsiConfigureFeature
 MsiGetFeatureInfo MsiGetProductCode MsiGetProductProperty MsiInstallMissingComponent MsiInstallMissingFile
 MsiInstallProduct MsiOpenPackage MsiOpenPackageEx MsiOpenProduct MsiReinstallFeature MsiUseFeature MsiUseFeatureEx
 MsiVerifyPackage MsiAdvertiseProduct MsiAdvertiseProductEx MsiProcessAdvertiseScript "
forbidden_imports() {  # forbidden_imports OBJDUMP-TEXT: the listed functions imported from msi.dll, in any form (A, W)
    printf '%s\n' "$1" | awk '/DLL Name:/ { dll = tolower($3) } /^\t[0-9a-f]+\t? *[0-9]+ +[A-Za-z_]/ { if (dll == "msi.dll") print $NF }' |
        while read -r name; do [[ $forbidden == *[[:space:]]${name%[AW]}[[:space:]]* ]] && printf '%s ' "$name"; done
}
dump=$(i686-w64-mingw32-objdump -p "$dll")
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
imports=$(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
stripped=$(mktemp)
i686-w64-mingw32-strip -o "$stripped" "$dll"
size=$(stat -c %s "$stripped")
rm -f "$stripped"

check "PE32 for i386" grep -q 'file format pei-i386' <<<"$dump"
check "exports: $exports" test "$exports" = "AfterSelectFunction CopyInfFiles PrevInstall RollbackInfFiles RunSuportPacks "
allowed=" ADVAPI32.DLL KERNEL32.DLL MSI.DLL MSVCRT.DLL SHLWAPI.DLL USER32.DLL "
unexpected=""
for name in $imports; do [[ $allowed == *" $name "* ]] || unexpected+="$name "; done
check "imports only Windows' own DLLs: $imports" test -z "$unexpected"
ansi=$(ansi_imports "$dump")
check "no ANSI Windows API imports${ansi:+: $ansi}" test -z "$ansi"
barred=$(forbidden_imports "$dump")
check "no installer function barred from custom actions${barred:+: $barred}" test -z "$barred"
checks=$((checks + 1))
if [ "$type" = Debug ]; then
    check "size stripped: $size bytes (not limited in a Debug build)" true
else
    check "size stripped: $size bytes (limit $limit)" test "$size" -le "$limit"
fi
if [ -n "$setup" ]; then
    checks=$((checks + 3))
    setup_dump=$(i686-w64-mingw32-objdump -p "$setup")
    setup_imports=$(printf '%s\n' "$setup_dump" | sed -n 's/^\s*DLL Name: //p' | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
    check "setup program: PE32 for i386" grep -q 'file format pei-i386' <<<"$setup_dump"
    check "setup program imports kernel32 and msvcrt only: $setup_imports" test "$setup_imports" = "KERNEL32.DLL MSVCRT.DLL "
    check "setup program's manifest asks for asInvoker" grep -q 'level="asInvoker"' "$setup"
    ansi=$(ansi_imports "$setup_dump")
    check "setup program: no ANSI Windows API imports${ansi:+: $ansi}" test -z "$ansi"
    checks=$((checks + 1))
fi
if [ -n "$checker" ]; then
    ansi=$(ansi_imports "$(i686-w64-mingw32-objdump -p "$checker")")
    check "package checker: no ANSI Windows API imports${ansi:+: $ansi}" test -z "$ansi"
    checks=$((checks + 1))
fi
echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
