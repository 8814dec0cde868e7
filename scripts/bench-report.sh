#!/usr/bin/env bash
# Outcome reports: `torvane-publish report` over generated access logs of 1 and
# 10 million lines (by default), lines per second and the tool's peak memory.
# Builds a separate Release native tree without sanitizers in $BUILD_ROOT/bench
# (default build/bench) and runs it there. The log of 10 million lines takes
# about 1.3 GB of disk for the time of its run.
#
#   BUILD_ROOT=/work/main/build-x bash scripts/bench-report.sh [LINES...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}/bench
jobs=${JOBS:-2}

CC=clang CXX=clang++ cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release \
  -DMIRELO_SANITIZE=OFF >/dev/null
cmake --build "$out" -j "$jobs" --target report_bench torvane-publish >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-report.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [[ $# -eq 0 ]]; then set -- 1000000 10000000; fi
"$out/bench/report_bench" "$out/tools/publish/torvane-publish" "$work" "$@"
