#!/usr/bin/env bash
# Lays out the sample's installation source: the package, its files, the cabinets its
# rules look for, the support program and package it lists, and the setup program that
# installs the support package before the sample. OUT_DIR/upgrade holds the same source
# with the sample's next version (2.0.0, a major upgrade of 1.0.0).
#   build.sh HOSTGATE_DLL SAMPLE_TOOL_EXE OUT_DIR SETUP_EXE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dll=$1 tool=$2 out=$3 setup=$4
source="$out/source"
work="$out/work"
rm -rf "$out"
mkdir -p "$source/Hostgate Sample" "$source/cabs" "$source/support" "$work/package/Binary" "$work/runtime"

crlf() { sed 's/\r$//; s/$/\r/' "$1" > "$2"; }

# One small file for each feature, installed uncompressed from beside the package.
declare -A sizes
for name in core viewer editor network acad2000 acad2004 acad2007; do
    printf 'hostgate sample: the %s feature was installed.\r\n' "$name" > "$source/Hostgate Sample/$name.txt"
    sizes[$name]=$(stat -c %s "$source/Hostgate Sample/$name.txt")
done

# The cabinets the rules test for. network.cab is left out on purpose: the network
# function is never offered from this source.
printf 'sample cabinet payload\r\n' > "$work/payload.txt"
for cab in core viewer editor r15 r16 r17; do
    (cd "$work" && gcab -c -n "$source/cabs/$cab.cab" payload.txt)
done

for idt in "$here"/package/*.idt; do crlf "$idt" "$work/package/$(basename "$idt")"; done
for name in "${!sizes[@]}"; do
    sed -i "s/__SIZE_${name}.txt__/${sizes[$name]}/" "$work/package/File.idt"
done
cp "$dll" "$work/package/Binary/hostgate.dll"
for idt in "$here"/runtime/*.idt; do crlf "$idt" "$work/runtime/$(basename "$idt")"; done

guid() { echo "{$(tr 'a-f' 'A-F' < /proc/sys/kernel/random/uuid)}"; }
build() {  # build MSI IDT_DIR SUBJECT
    local msi=$1 dir=$2 subject=$3 args=()
    for idt in "$dir"/*.idt; do args+=(-i "$(basename "$idt")"); done
    (cd "$dir" && msibuild "$msi" "${args[@]}" -s "$subject" "hostgate sample" "Intel;1033" "$(guid)")
}
build "$source/support/runtime.msi" "$work/runtime" "Hostgate Sample Runtime"
sed -i 's/__VERSION__/1.0.0/' "$work/package/Upgrade.idt"
build "$source/hostgate-sample.msi" "$work/package" "Hostgate Sample Add-on"
cp "$tool" "$source/support/sample_tool.exe"
cp "$setup" "$source/hostgate-setup.exe"

# The next version: a new product code, the same upgrade code; it finds 1.0.0 and removes it.
cp -r "$source" "$out/upgrade"
rm "$out/upgrade/hostgate-sample.msi"
sed -i 's/^ProductCode\t.*/ProductCode\t{6F1D4C7A-2B3E-4C59-9A61-0D7E5B8C2F12}\r/; s/^ProductVersion\t.*/ProductVersion\t2.0.0\r/' \
    "$work/package/Property.idt"
sed -i 's/\t1\.0\.0\t/\t2.0.0\t/' "$work/package/Upgrade.idt"
build "$out/upgrade/hostgate-sample.msi" "$work/package" "Hostgate Sample Add-on"
rm -rf "$work"
