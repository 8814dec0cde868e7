#!/usr/bin/env bash
# MD5 benchmark: FileMd5Text against coreutils md5sum on the same 256 MiB file,
# peak memory of hashing 1 GiB, and a 4 GiB digest check. Builds a separate
# Release native tree without sanitizers in $BUILD_ROOT/bench (default
# build/bench) and runs it there.
#
#   BUILD_ROOT=/work/main/build-x bash scripts/bench-md5.sh [SIZE_MIB] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}/bench
jobs=${JOBS:-2}

CC=clang CXX=clang++ cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release \
  -DMIRELO_SANITIZE=OFF >/dev/null
cmake --build "$out" -j "$jobs" --target md5_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-md5.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$out/bench/md5_bench" "$work" "${1:-256}" "${2:-5}"
