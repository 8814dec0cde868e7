#!/usr/bin/env bash
# The main job: a real update of a demo client folder from a local update
# server, under Wine. Installs what is missing, builds, then runs scripts/demo.py.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}

bash "$root/scripts/deps.sh"
bash "$root/scripts/build.sh"

. "$root/tests/wine/harness.sh"
trap harness_stop EXIT
HARNESS_KEEP_PREFIX=${HARNESS_KEEP_PREFIX:-1} harness_start "$out/wine-demo"
/usr/bin/python3 "$root/scripts/demo.py" --bin "$out/win/bin" --out "$out/demo"
