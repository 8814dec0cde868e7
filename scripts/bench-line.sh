#!/usr/bin/env bash
# Emulated-line benchmark: a whole forced update of FILES files, MIB MiB in all,
# by the real Torvane.exe under Wine from nginx through a line with RTT_MS of
# round trip and MBIT Mbit/s (tests/fixtures/line_emulator.py), against the
# line's limit (bytes / bandwidth) and curl on the same line. Prints the
# seconds of each and the ratios to the limit (goal for the update: at most 1.15).
#
#   BUILD_ROOT=/work/main/build-x bash scripts/bench-line.sh [FILES] [MIB] [RTT_MS] [MBIT] [ROUNDS]
#
# Needs the Windows tree built. Starts and stops its own Wine harness (prefix
# $BUILD_ROOT/wine, kept between runs); nginx and the line run inside the driver.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}
for exe in bin/Torvane.exe bin/fixtures/Halvix.exe; do
  [ -f "$out/win/$exe" ] || { echo "bench-line: $out/win/$exe missing; build first" >&2; exit 2; }
done

. "$root/tests/wine/harness.sh"
trap harness_stop EXIT
HARNESS_KEEP_PREFIX=1 harness_start "$out/wine"
/usr/bin/python3 "$root/bench/win/line_bench.py" "$out/win" --files "${1:-60}" --mib "${2:-30}" \
  --rtt-ms "${3:-100}" --mbit "${4:-40}" --rounds "${5:-1}"
