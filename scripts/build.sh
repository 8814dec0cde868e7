#!/usr/bin/env bash
# Builds both trees: build/win (mingw, the programs and the Wine tests) and
# build/native (host clang, sanitizers). BUILD_ROOT moves them elsewhere.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}
jobs=${JOBS:-$(nproc)}

cmake -S "$root" -B "$out/win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out/win" -j "$jobs"

CC=clang CXX=clang++ cmake -S "$root" -B "$out/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out/native" -j "$jobs"
