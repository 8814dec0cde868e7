#!/usr/bin/env bash
# Update benchmark: a whole forced update of FILES files, MIB MiB in all, by the
# real Torvane.exe from a local server under Wine, against a bare WinINet loop
# fetching the same files from the same server in the same run, once without
# and once with a flush of each file. Prints the seconds of each and the ratios
# to the durable loop (goals: whole update at most 1.2, pipeline without the
# dialog at most 1.1); the update also hashes, backs up and places every file.
#
#   BUILD_ROOT=/work/main/build-x bash scripts/bench-update.sh [FILES] [MIB] [ROUNDS] [--desktop|--without-log]
#
# A third figure, the pipeline without the dialog (bench/win/update_bench_pipeline),
# separates the dialog's cost; --desktop adds a run inside a Wine virtual
# desktop, whose notification area does not block the dialog's thread;
# --without-log adds a run whose run log cannot be written (logging's cost).
#
# Needs the Windows tree built. Starts and stops its own Wine harness (prefix
# $BUILD_ROOT/wine, kept between runs); the server runs inside the driver.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}
files=${1:-300}
mib=${2:-200}
rounds=${3:-1}
extra=${4:-}
for exe in bin/Torvane.exe bin/bench/wininet_fetch.exe bin/bench/update_bench_pipeline.exe bin/fixtures/Halvix.exe; do
  [ -f "$out/win/$exe" ] || { echo "bench-update: $out/win/$exe missing; build first" >&2; exit 2; }
done

. "$root/tests/wine/harness.sh"
trap harness_stop EXIT
HARNESS_KEEP_PREFIX=1 harness_start "$out/wine"
/usr/bin/python3 "$root/bench/win/update_bench.py" "$out/win" --files "$files" --mib "$mib" --rounds "$rounds" $extra
