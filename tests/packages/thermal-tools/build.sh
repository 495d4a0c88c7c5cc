#!/usr/bin/env bash
# Builds the Thermal Tools package (per user) into OUT/source: thermal-tools.msi, the same
# package with its two ACAD2004 rows in the other order (thermal-tools-swapped.msi), the
# payload files beside them and the cabinets the rules look for. OUT/cabinets holds a variant
# whose files are in the cabinets the rules look for, OUT/upgrade version 2.0.0, a major
# upgrade of 1.0.0.
#   build.sh HOSTGATE_DLL OUT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dll=$1 out=$2
source="$out/source" work="$out/work"
rm -rf "$out"; mkdir -p "$source/Thermal Tools" "$source/cabs" "$work/package/Binary"
crlf() { sed 's/\r$//; s/$/\r/' "$1" > "$2"; }
for idt in "$here"/package/*.idt; do crlf "$idt" "$work/package/$(basename "$idt")"; done
for name in core draft analysis thermal reports docs link2002 link2004 link2007; do
  printf 'thermal tools: %s.txt\r\n' "$name" > "$source/Thermal Tools/$name.txt"
  sed -i "s/__SIZE_${name}__/$(stat -c %s "$source/Thermal Tools/$name.txt")/" "$work/package/File.idt"
done
printf 'payload\r\n' > "$work/payload.txt"
for cab in core draft analysis thermal full r15 r16 r17; do (cd "$work" && gcab -c -n "$source/cabs/$cab.cab" payload.txt); done
cp "$dll" "$work/package/Binary/hostgate.dll"
build() {  # build MSI: the package from work/package
  local args=() idt
  for idt in "$work/package"/*.idt; do args+=(-i "$(basename "$idt")"); done
  (cd "$work/package" && msibuild "$1" "${args[@]}" -s "Thermal Tools" "Thermal Works" "Intel;1033" "{$(tr a-f A-F </proc/sys/kernel/random/uuid)}")
}
sed -i 's/__VERSION__/1.0.0/' "$work/package/Property.idt" "$work/package/Upgrade.idt"
build "$source/thermal-tools.msi"
# The two rows of the release property ACAD2004 (R16.0, R16.1) in the other order, as a
# product of its own, so that either can be installed while the other is registered.
cp "$work/package/AutoCAD.idt" "$work/AutoCAD.idt"
sed -i 's/^ProductCode\t.*/ProductCode\t{7E1A5C20-9D3B-4F61-8E27-5A0C4B8D1F03}\r/' "$work/package/Property.idt"
awk -F'\t' 'NR > 3 && $1 == "ACAD2004" { held[++n] = $0; if (n == 2) { print held[2]; print held[1] } next } { print }' \
  "$work/AutoCAD.idt" > "$work/package/AutoCAD.idt"
build "$source/thermal-tools-swapped.msi"
cp "$work/AutoCAD.idt" "$work/package/AutoCAD.idt"
# A product of its own whose files travel in cabinets the Media table lists, one file each
# (OUT/cabinets), and whose rules look for those cabinets: an administrative image of it
# holds none of them. Only full's licence marker, cabs\full.cab, lies outside the package.
cabinets="$out/cabinets" media="$work/media"
mkdir -p "$cabinets/cabs" "$media"
cp "$work/package/"{Property,File,Media,SearchCabinet}.idt "$media/"
sed -i 's/^ProductCode\t.*/ProductCode\t{7E1A5C20-9D3B-4F61-8E27-5A0C4B8D1F04}\r/' "$work/package/Property.idt"
sed -i 's/\t0\t\([0-9]*\)\r$/\t16384\t\1\r/' "$work/package/File.idt"
head -n 3 "$media/Media.idt" > "$work/package/Media.idt"
sequence=0
for entry in core:Core_F draft:Draft_F analysis:Analysis_F thermal:Thermal_F reports:Reports_F docs:Docs_F \
  r15:Link2002_F r16:Link2004_F r17:Link2007_F; do
  cab=${entry%%:*} key=${entry#*:} sequence=$((sequence + 1))
  name=$(awk -F'\t' -v k="$key" '$1 == k { print $3 }' "$work/package/File.idt")
  cp "$source/Thermal Tools/$name" "$work/$key"
  (cd "$work" && gcab -c -n "$cabinets/$cab.cab" "$key")
  printf '%s\t%s\t\t%s\t\t\r\n' "$sequence" "$sequence" "$cab.cab" >> "$work/package/Media.idt"
done
sed -i 's/cabs\\\(core\|draft\|analysis\|thermal\|r15\|r16\|r17\)\.cab/\1.cab/' "$work/package/SearchCabinet.idt"
cp "$source/cabs/full.cab" "$cabinets/cabs/"
build "$cabinets/thermal-tools.msi"
cp "$media/"*.idt "$work/package/"
# The next version: a new product code, the same upgrade code; it finds 1.0.0 and removes it.
cp -r "$source" "$out/upgrade"; rm "$out/upgrade"/*.msi
sed -i 's/^ProductCode\t.*/ProductCode\t{7E1A5C20-9D3B-4F61-8E27-5A0C4B8D1F02}\r/; s/^ProductVersion\t.*/ProductVersion\t2.0.0\r/' "$work/package/Property.idt"
sed -i 's/\t1\.0\.0\t/\t2.0.0\t/' "$work/package/Upgrade.idt"
build "$out/upgrade/thermal-tools.msi"
rm -rf "$work"
