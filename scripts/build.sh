#!/usr/bin/env bash
# Configures and builds the DLL (and the tests) in build/. Warnings are errors here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=MinSizeRel -DHOSTGATE_WERROR=ON --no-warn-unused-cli >/dev/null
cmake --build "$root/build" -j"$(nproc)"
