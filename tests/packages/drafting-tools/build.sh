#!/usr/bin/env bash
# Builds the Zeichenwerkzeuge (drafting tools) packages, per machine, German texts in code
# page 1252, each folder with the payload files beside its package and the cabinets the rules
# look for (cabs\dxf.cab, an alternative in its rule group, is never shipped):
#   OUT/source    version 1.0.0 with hostgate
#   OUT/upgrade   version 2.0.0, a major upgrade of every earlier version
#   OUT/adoption  version 0.9.0 WITHOUT hostgate: its own feature choice (ADDLOCAL); 1.0.0
#                 adopts the library as a major upgrade of it
#   OUT/remember  version 1.0.0 (a product of its own) that remembers its function: Kern writes
#                 [FUNCTION_VER] under its key, AppSearch reads it back into FUNCTION_VER
#   OUT/renamed   version 2.0.0 of it, a major upgrade, in which the function konstrukteur is
#                 renamed konstruktion: the value it remembers is no function of it any more
#   build.sh HOSTGATE_DLL OUT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dll=$1 out=$2
work="$out/work"
installdir="Zeichenbüro/Zeichenwerkzeuge"
rm -rf "$out"; mkdir -p "$work/payload/$installdir" "$work/payload/cabs" "$work/package/Binary"
# The tables are UTF-8 text, as msibuild reads them (1252 bytes crash it), and the package
# declares code page 1252 (_ForceCodepage), which msibuild stores its strings in.
idt() { sed 's/\r$//; s/$/\r/' "$1" > "$2"; }
for table in "$here"/package/*.idt; do idt "$table" "$work/package/$(basename "$table")"; done
for feature in kern anzeige zeichnen export visualisierung anbindung2000 anbindung2004; do
  printf 'Zeichenwerkzeuge: %s.txt\r\n' "$feature" > "$work/payload/$installdir/$feature.txt"
  sed -i "s/__SIZE_${feature}__/$(stat -c %s "$work/payload/$installdir/$feature.txt")/" "$work/package/File.idt"
done
printf 'payload\r\n' > "$work/payload.txt"
for cab in kern basis zeichnen pdf visual r15 r16; do (cd "$work" && gcab -c -n "$work/payload/cabs/$cab.cab" payload.txt); done
cp "$dll" "$work/package/Binary/hostgate.dll"

# build FOLDER PRODUCT VERSION [TABLE...]: the package from work/package (every table, or
# those named), with the payload beside it.
build() {
  local folder=$1 product=$2 version=$3 args=() table
  shift 3
  mkdir -p "$folder"; cp -r "$work/payload/." "$folder/"
  cp -r "$work/package" "$work/build"
  sed -i "s/__PRODUCT__/$product/; s/__VERSION__/$version/" "$work/build/Property.idt" "$work/build/Upgrade.idt"
  if [ $# = 0 ]; then set -- "$work/build"/*.idt; fi
  for table in "$@"; do args+=(-i "$(basename "$table")"); done
  (cd "$work/build" && msibuild "$folder/drafting-tools.msi" "${args[@]}" -s "Zeichenwerkzeuge" "Zeichenbüro Köhler" "Intel;1031" "{$(tr a-f A-F </proc/sys/kernel/random/uuid)}")
  rm -rf "$work/build"
}
build "$out/source" "{D5A7C3E0-9D3B-4F61-8E27-5A0C4B8D1F10}" 1.0.0
build "$out/upgrade" "{D5A7C3E0-9D3B-4F61-8E27-5A0C4B8D1F20}" 2.0.0
# 0.9.0 knows nothing of the library: the standard tables and sequences alone, every feature
# at level 1, chosen by the feature lists.
cp "$work/package/"Install*Sequence.idt "$work/"
for sequence in InstallExecuteSequence InstallUISequence; do idt "$here/package/plain/$sequence.idt" "$work/package/$sequence.idt"; done
build "$out/adoption" "{D5A7C3E0-9D3B-4F61-8E27-5A0C4B8D1F09}" 0.9.0 _ForceCodepage.idt Directory.idt Feature.idt Component.idt \
  FeatureComponents.idt File.idt Media.idt Property.idt InstallExecuteSequence.idt InstallUISequence.idt
cp "$work/"Install*Sequence.idt "$work/package/"
for table in Registry RegLocator AppSearch; do idt "$here/package/remember/$table.idt" "$work/package/$table.idt"; done
build "$out/remember" "{D5A7C3E0-9D3B-4F61-8E27-5A0C4B8D1F11}" 1.0.0
# The function renamed, its rules with it (the Text stays).
sed -i 's/^konstrukteur\t/konstruktion\t/; s/\tkonstrukteur\r$/\tkonstruktion\r/' "$work/package/FunctionVersion.idt"
sed -i 's/\tkonstrukteur\t/\tkonstruktion\t/' "$work/package/SearchCabinet.idt"
[ "$(grep -c konstruktion "$work/package/FunctionVersion.idt" "$work/package/SearchCabinet.idt" | cut -d: -f2 | xargs)" = "1 6" ]
build "$out/renamed" "{D5A7C3E0-9D3B-4F61-8E27-5A0C4B8D1F21}" 2.0.0
rm -rf "$work"
