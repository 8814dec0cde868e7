#!/usr/bin/env bash
# Digest benchmark under Wine: FileMd5Text and FileSha256Text (CNG) on the same
# file of SIZE_MIB (default 256), best of ROUNDS (default 3), next to sha256sum.
#
#   BUILD_ROOT=build bash scripts/bench-digests.sh [SIZE_MIB] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}

cmake --build "$out/win" -j "${JOBS:-2}" --target digest_bench >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/bench-digests.XXXXXX")
. "$root/tests/wine/harness.sh"
trap 'harness_stop; rm -rf "$work"' EXIT
head -c "$((${1:-256} << 20))" /dev/urandom >"$work/data.bin"

HARNESS_KEEP_PREFIX=1 harness_start "$out/wine"
"$root/tests/wine/wine-run" --timeout 600 "$out/win/bin/bench/digest_bench.exe" "Z:${work//\//\\}\\data.bin" "${2:-3}"
/usr/bin/python3 - "$work/data.bin" <<'PY'
import subprocess, sys, time
start = time.monotonic()
digest = subprocess.run(["sha256sum", sys.argv[1]], capture_output=True, check=True, timeout=600).stdout[:64]
size = __import__("os").path.getsize(sys.argv[1])
print("sha256sum   %8.1f MB/s  %s (native)" % (size / (time.monotonic() - start) / 1e6, digest.decode()))
PY
