#!/usr/bin/env bash
# Builds everything and runs every test under Wine's installer engine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" >/dev/null
cd "$root/build"
# One test at a time: the tests share the prefix's registry and Windows folders.
ctest --output-on-failure "$@"
