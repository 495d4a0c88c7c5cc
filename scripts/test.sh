#!/usr/bin/env bash
# Builds everything and runs every test under Wine's installer engine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" >/dev/null
cd "$root/build"
# Three tests at a time per core: the roads spend much of their time waiting on Wine's
# processes and dialogs. The tests that share the build's prefix (its registry and Windows
# folders) hold a lock on it and run one at a time; the roads, each in a prefix of its own,
# run beside them.
ctest --output-on-failure -j"$((3 * $(nproc)))" "$@"
