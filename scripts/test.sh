#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds both trees, runs the
# native tests, then the Windows tests under a fresh Wine prefix.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}

bash "$root/scripts/deps.sh" || exit 1
bash "$root/scripts/build.sh" || exit 1

status=0
echo "== native tests"
(cd "$out/native" && ctest --output-on-failure --timeout 600) || status=1

echo "== Windows tests under Wine"
. "$root/tests/wine/harness.sh"
trap harness_stop EXIT
harness_start "$out/wine"
(cd "$out/win" && ctest --output-on-failure --timeout 600) || status=1
harness_stop
trap - EXIT
exit $status
