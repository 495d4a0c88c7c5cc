#!/usr/bin/env bash
# The main job: builds the DLL and the sample package, then installs the sample in a Wine
# prefix with a simulated host and reports what happened. Extra arguments go to msiexec,
# e.g. scripts/demo.sh FUNCTION_VER=EDITOR-PRO
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" >/dev/null
exec "$root/sample/demo.sh" "$root/build" "$@"
