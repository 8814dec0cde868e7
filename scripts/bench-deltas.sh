#!/usr/bin/env bash
# Delta patch benchmark on real pairs of files: Torvane.exe and Quillet.exe as
# built at two adjacent commits, and a bitmap with a small edit. Prints, per
# pair, the full size, the patch size and ratio and the time to diff (native),
# Debian's bsdiff (bzip2) on the same pair, then the time to apply, MB/s of
# output and the decoder's peak private memory under Wine.
#
#   BUILD_ROOT=build bash scripts/bench-deltas.sh [OLD_COMMIT NEW_COMMIT]
# The executables of each commit are built once (Windows targets only) into
# $BUILD_ROOT/delta-pairs/<commit>, from `git archive`, so no worktree changes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(cd "${BUILD_ROOT:-$root/build}" && pwd)
jobs=${JOBS:-2}
old=${1:-8282411}
new=${2:-49c2110}

build_commit() {
  local commit=$1 dest=$out/delta-pairs/$1
  [[ -f $dest/Torvane.exe && -f $dest/Quillet.exe ]] && return
  local src=$out/delta-pairs/src-$commit
  rm -rf "$src" && mkdir -p "$src" "$dest"
  git -C "$root" archive "$commit" | tar -x -C "$src"
  cmake -S "$src" -B "$src/build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$src/build" -j "$jobs" --target Torvane Quillet >/dev/null
  cp "$src/build/bin/Torvane.exe" "$src/build/bin/Quillet.exe" "$dest/"
  rm -rf "$src"
}
build_commit "$old"
build_commit "$new"

CC=clang CXX=clang++ cmake -S "$root" -B "$out/bench" -DCMAKE_BUILD_TYPE=Release -DMIRELO_SANITIZE=OFF >/dev/null
cmake --build "$out/bench" -j "$jobs" --target delta_bench >/dev/null
cmake --build "$out/win" -j "$jobs" --target delta_apply_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-deltas.XXXXXX")
. "$root/tests/wine/harness.sh"
trap 'harness_stop; rm -rf "$work"' EXIT

# The resource pair: the dialog's side bitmap with 24 bytes of one row changed.
cp "$root/updater/ui/res/side.bmp" "$work/side-old.bmp"
python3 - "$work/side-old.bmp" "$work/side-new.bmp" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
middle = len(data) // 2
data[middle:middle + 24] = bytes(b ^ 0x3C for b in data[middle:middle + 24])
open(sys.argv[2], "wb").write(data)
PY

pairs=(
  "Torvane.exe $out/delta-pairs/$old/Torvane.exe $out/delta-pairs/$new/Torvane.exe"
  "Quillet.exe $out/delta-pairs/$old/Quillet.exe $out/delta-pairs/$new/Quillet.exe"
  "side.bmp $work/side-old.bmp $work/side-new.bmp"
)
printf '%-12s %10s %10s %7s %9s   %10s %7s %9s\n' file full patch ratio diff bsdiff ratio time
apply_args=()
for pair in "${pairs[@]}"; do
  read -r name base target <<<"$pair"
  line=$("$out/bench/bench/delta_bench" "$base" "$target" "$work/$name.patch")
  start=$(date +%s.%N)
  bsdiff "$base" "$target" "$work/$name.bsdiff"
  bsdiff_time=$(echo "$(date +%s.%N) - $start" | bc)
  full=$(stat -c %s "$target")
  bsize=$(stat -c %s "$work/$name.bsdiff")
  printf '%-12s %s   %10d %6.2f%% %8.2fs\n' "$name" "$line" "$bsize" \
    "$(echo "100 * $bsize / $full" | bc -l)" "$bsdiff_time"
  apply_args+=("$name" "Z:${base//\//\\}" "Z:${work//\//\\}\\$name.patch" "Z:${work//\//\\}\\$name.out")
done

HARNESS_KEEP_PREFIX=1 harness_start "$out/wine"
echo
# One process per pair, so that each peak is that pair's own.
for ((i = 0; i < ${#apply_args[@]}; i += 4)); do
  "$root/tests/wine/wine-run" --timeout 600 "$out/win/bin/bench/delta_apply_bench.exe" "${ROUNDS:-5}" \
    "${apply_args[@]:i:4}" | { ((i == 0)) && cat || tail -n +2; }
done
for pair in "${pairs[@]}"; do
  read -r name base target <<<"$pair"
  cmp -s "$target" "$work/$name.out" || { echo "$name: the applied output differs from the target" >&2; exit 1; }
done
