#!/usr/bin/env bash
# Builds the Wide Tools packages into OUT/source, beside one set of payload files and the
# cabinets the rules look for. Each release's feature carries three registration components
# for its Applications\WideTools key, one per place a host lives, chosen by the companions of
# the release property (ACADxxxx_ROOT, ACADxxxx_VIEW), transitive, so that a repair chooses
# again, and true during a removal, so that it goes wherever the host is found by then:
#   wide-tools.msi          64-bit, per machine
#   wide-tools-user.msi     64-bit, per user (no ALLUSERS)
#   wide-tools-x86.msi      32-bit, per machine; no 64-bit components (it cannot write the
#                           64-bit view), its files under ProgramFilesFolder
#   wide-tools-control.msi  64-bit, per machine, without hostgate's actions: the release
#                           properties and their companions come from the command line
#   build.sh HOSTGATE_DLL OUT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dll=$1 out=$2
source="$out/source" work="$out/work"
rm -rf "$out"; mkdir -p "$source/Wide Tools" "$source/cabs" "$work/package/Binary"
crlf() { sed 's/\r$//; s/$/\r/' "$1" > "$2"; }
for idt in "$here"/package/*.idt; do crlf "$idt" "$work/package/$(basename "$idt")"; done
for name in core tools host14 host15 host16; do
  printf 'wide tools: %s.txt\r\n' "$name" > "$source/Wide Tools/$name.txt"
  sed -i "s/__SIZE_${name}__/$(stat -c %s "$source/Wide Tools/$name.txt")/" "$work/package/File.idt"
done
printf 'payload\r\n' > "$work/payload.txt"
for cab in core tools host; do (cd "$work" && gcab -c -n "$source/cabs/$cab.cab" payload.txt); done
cp "$dll" "$work/package/Binary/hostgate.dll"
pristine="$work/pristine"; cp -r "$work/package" "$pristine"
build() {  # build MSI TEMPLATE PRODUCT_CODE_END: the package from work/package, then back to the pristine tables
  local args=() idt
  sed -i "s/^\(ProductCode\t{.*\)..}\r$/\1$3}\r/" "$work/package/Property.idt"
  for idt in "$work/package"/*.idt; do args+=(-i "$(basename "$idt")"); done
  (cd "$work/package" && msibuild "$1" "${args[@]}" -s "Wide Tools" "Wide Works" "$2" "{$(tr a-f A-F </proc/sys/kernel/random/uuid)}")
  rm "$work/package"/*.idt; cp "$pristine"/*.idt "$work/package/"
}
build "$source/wide-tools.msi" "x64;1033" 01
sed -i '/^ALLUSERS\t/d' "$work/package/Property.idt"
build "$source/wide-tools-user.msi" "x64;1033" 02
# The 32-bit package: every component 32-bit, the 64-bit registration components left out.
for table in Component FeatureComponents Registry; do
  awk -F'\t' -v OFS='\t' -v t="$table" 'NR > 3 && (t == "Registry" ? $6 : t == "Component" ? $1 : $2) ~ /_64_C\r?$/ { next }
    NR > 3 && t == "Component" && int($4 / 256) % 2 { $4 -= 256 } { print }' "$pristine/$table.idt" > "$work/package/$table.idt"
done
sed -i 's/ProgramFiles64Folder/ProgramFilesFolder/g' "$work/package/Directory.idt"
build "$source/wide-tools-x86.msi" "Intel;1033" 03
sed -i '/^\(PrevInstall\|AfterSelectFunction\)\t/d' "$work/package/InstallExecuteSequence.idt" "$work/package/InstallUISequence.idt"
# No choice control is added there: the tab order closes without it.
sed -i 's/^\(ZizeVEZAvaziva\tNextButton\t.*\t\)RadioButtonGroup\t/\1CancelButton\t/' "$work/package/Control.idt"
build "$source/wide-tools-control.msi" "x64;1033" 04
rm -rf "$work"
