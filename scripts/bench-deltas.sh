#!/usr/bin/env bash
# Delta patch benchmark on real pairs of files: Torvane.exe and Quillet.exe as
# built at two adjacent commits, a bitmap with a small edit, two Debian
# programs/libraries in the versions of a point release and of a security
# update, and a generated 64 MiB pair. Prints, per pair, the full size, our
# patch's size and ratio, the time to diff, the peak memory of the diff over
# the larger file and the decoder's native speed (MB/s of output), then Debian's
# bsdiff (bzip2) on the same pair and whether ours is no larger; then the time
# to apply, MB/s of output and the decoder's peak private memory under Wine.
# Last, the peak memory of `torvane-publish release --deltas` on a generated
# 200 MB pair, against the larger file.
#
#   BUILD_ROOT=build bash scripts/bench-deltas.sh [OLD_COMMIT NEW_COMMIT]
# The executables of each commit are built once (Windows targets only) into
# $BUILD_ROOT/delta-pairs/<commit>, from `git archive`, so no worktree changes;
# the Debian packages and generated pairs are kept in $BUILD_ROOT/delta-pairs
# too. WINE=0 leaves out the pairs built with mingw and the Wine part.
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
wine=${WINE:-1}
if ((wine)); then
  build_commit "$old"
  build_commit "$new"
fi

# name=version pairs: the archive's point release and its security update
# (`apt-cache madison NAME` lists what it offers), and the file to compare.
debian_pairs=(
  "libcurl4 7.88.1-10+deb12u5 7.88.1-10+deb12u15 usr/lib/x86_64-linux-gnu/libcurl.so.4.8.0"
  "openssh-client 1:9.2p1-2+deb12u9 1:9.2p1-2+deb12u10 usr/bin/ssh"
)
debian_file() {  # package version path -> the extracted file
  local dest=$out/delta-pairs/deb/$1-${2//:/_}
  if [[ ! -f $dest/$3 ]]; then
    mkdir -p "$dest"
    (cd "$out/delta-pairs/deb" && timeout 300 apt-get download "$1=$2" >/dev/null)
    dpkg-deb -x "$out/delta-pairs/deb/$1_${2//:/%3a}_amd64.deb" "$dest"
  fi
  echo "$dest/$3"
}
generated_pair() {  # size -> "base target"
  local dir=$out/delta-pairs/gen
  mkdir -p "$dir"
  [[ -f $dir/base-$1 && -f $dir/target-$1 ]] ||
    python3 "$root/scripts/gen-delta-pair.py" "$1" "$dir/base-$1" "$dir/target-$1"
  echo "$dir/base-$1 $dir/target-$1"
}

CC=clang CXX=clang++ cmake -S "$root" -B "$out/bench" -DCMAKE_BUILD_TYPE=Release -DMIRELO_SANITIZE=OFF >/dev/null
cmake --build "$out/bench" -j "$jobs" --target delta_bench torvane-publish >/dev/null
((wine)) && cmake --build "$out/win" -j "$jobs" --target delta_apply_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-deltas.XXXXXX")
. "$root/tests/wine/harness.sh"
trap '((wine)) && harness_stop; rm -rf "$work"' EXIT

# The resource pair: the dialog's side bitmap with 24 bytes of one row changed.
cp "$root/updater/ui/res/side.bmp" "$work/side-old.bmp"
python3 - "$work/side-old.bmp" "$work/side-new.bmp" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
middle = len(data) // 2
data[middle:middle + 24] = bytes(b ^ 0x3C for b in data[middle:middle + 24])
open(sys.argv[2], "wb").write(data)
PY

pairs=()
if ((wine)); then
  pairs+=(
    "Torvane.exe $out/delta-pairs/$old/Torvane.exe $out/delta-pairs/$new/Torvane.exe"
    "Quillet.exe $out/delta-pairs/$old/Quillet.exe $out/delta-pairs/$new/Quillet.exe"
  )
fi
pairs+=("side.bmp $work/side-old.bmp $work/side-new.bmp")
for entry in "${debian_pairs[@]}"; do
  read -r package from to path <<<"$entry"
  pairs+=("$(basename "$path") $(debian_file "$package" "$from" "$path") $(debian_file "$package" "$to" "$path")")
done
pairs+=("64MiB $(generated_pair $((64 << 20)))")

printf '%-16s %10s %10s %7s %9s %6s %7s   %10s %7s %9s  %s\n' file full patch ratio diff peak 'MB/s' bsdiff ratio \
  time 'ours<=bsdiff'
apply_args=()
for pair in "${pairs[@]}"; do
  read -r name base target <<<"$pair"
  line=$("$out/bench/bench/delta_bench" "$base" "$target" "$work/$name.patch")
  start=$(date +%s.%N)
  timeout 1800 bsdiff "$base" "$target" "$work/$name.bsdiff"
  bsdiff_time=$(echo "$(date +%s.%N) - $start" | bc)
  full=$(stat -c %s "$target")
  ours=$(stat -c %s "$work/$name.patch")
  bsize=$(stat -c %s "$work/$name.bsdiff")
  printf '%-16s %s   %10d %6.2f%% %8.2fs  %s\n' "$name" "$line" "$bsize" \
    "$(echo "100 * $bsize / $full" | bc -l)" "$bsdiff_time" "$( ((ours <= bsize)) && echo yes || echo NO)"
  apply_args+=("$name" "Z:${base//\//\\}" "Z:${work//\//\\}\\$name.patch" "Z:${work//\//\\}\\$name.out")
done

# Memory of a release of a big file with a patch: the tool's peak resident set
# over the larger of the two files.
read -r big_base big_target <<<"$(generated_pair 200000000)"
mkdir -p "$work/big-old" "$work/big-new"
ln -s "$big_base" "$work/big-old/big.bin"
ln -s "$big_target" "$work/big-new/big.bin"
peak_kib=$( { /usr/bin/time -f '%M' timeout 3600 "$out/bench/tools/publish/torvane-publish" release -q \
  --manifest "$work/big.cfg" --version 2 --from-version 1 --from "$work/big-old" --to "$work/big-new" \
  --base-url http://bench/ --out "$work/big-served" --deltas >/dev/null; } 2>&1 | tail -n 1)
big_patch=$(find "$work/big-served" -name '*.tvdp' -printf '%s\n')
printf '\nrelease --deltas, 200 MB pair: peak %d MiB, %.2f x the larger file, patch %s bytes\n' \
  $((peak_kib / 1024)) "$(echo "$peak_kib * 1024 / 200000000" | bc -l)" "${big_patch:-none}"

((wine)) || exit 0
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
