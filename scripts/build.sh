#!/usr/bin/env bash
# Builds both trees: build/win (mingw, the programs and the Wine tests) and
# build/native (host clang, sanitizers). BUILD_ROOT moves them elsewhere.
#   build.sh [win] [native]   only the trees named (default: both)
#   build.sh publish          the publisher's torvane-publish alone (build/publish,
#                             optimised, no sanitizers), installed into PREFIX/bin
#                             (default /usr/local/bin); installs its packages first
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}
jobs=${JOBS:-$(nproc)}
trees=" ${*:-win native} "
prefix=${PREFIX:-/usr/local}
# Where a compiler cache is used, it may serve the precompiled headers' users too.
export CCACHE_SLOPPINESS=${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}

if [[ $trees == *" win "* ]]; then
  cmake -S "$root" -B "$out/win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$out/win" -j "$jobs"
fi

if [[ $trees == *" native "* ]]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$out/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$out/native" -j "$jobs"
fi

if [[ $trees == *" publish "* ]]; then
  bash "$root/scripts/deps.sh"
  CC=clang CXX=clang++ cmake -S "$root" -B "$out/publish" -DCMAKE_BUILD_TYPE=Release -DMIRELO_SANITIZE=OFF >/dev/null
  cmake --build "$out/publish" --target torvane-publish -j "$jobs"
  cmake --install "$out/publish" --component publish --prefix "$prefix"
fi
