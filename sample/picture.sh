#!/usr/bin/env bash
# Saves a picture of the choice dialog as the installer draws it, with the functions that
# PrevInstall offered: the sample is started with its full user interface on a virtual
# screen, the screen is captured once the dialog is up, and the installation is ended.
#   picture.sh BUILD_DIR OUT.png      (needs xvfb, x11-apps and netpbm from Debian)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
out=$2
for tool in Xvfb xwd xwdtopnm pnmtopng; do
    command -v "$tool" >/dev/null || { echo "   no picture: $tool is missing (apt-get install xvfb x11-apps netpbm)"; exit 0; }
done
export WINEPREFIX="$build/demo-prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 800x600x24 >/dev/null 2>&1 &
screen=$!
trap 'kill $screen 2>/dev/null; wineserver -k 2>/dev/null || true' EXIT
sleep 2
source_dir=$("$root/cmake/wine-run.sh" winepath -w "$build/sample/source" </dev/null)
DISPLAY=$display wine msiexec /i "$source_dir\\hostgate-sample.msi" /qf </dev/null >/dev/null 2>&1 &
# The dialog is up once the screen is no longer a single colour.
for _ in $(seq 1 40); do
    sleep 0.5
    DISPLAY=$display xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng > "$out" 2>/dev/null || true
    [ "$(stat -c %s "$out")" -gt 1000 ] && break
done
sleep 1
DISPLAY=$display xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng > "$out" 2>/dev/null
echo "   picture of the choice dialog: $out"
