#!/usr/bin/env bash
# Delta patch benchmark on real pairs of files. The x64 programs: Torvane.exe
# and Quillet.exe as built at NEW_COMMIT and 10, 50 and 120 commits before it
# in the log, stripped as we ship them, and EFI programs of two Debian updates
# (systemd-boot, GRUB). Beside them: the dialog's bitmap with a small edit, a
# Debian library and program of a point release and of a security update, and
# a generated 64 MiB pair.
#
# Prints, per pair: the whole file's size, our patch, Debian's bsdiff (bzip2)
# and `zstd --patch-from=OLD -19 --long`, our patch over each of them, the time
# and peak memory of our diff (over the larger file) and our decoder's native
# speed (MB/s of output); then the geometric mean of the ratios over the x64
# programs. Then the peak memory of `torvane-publish release --deltas` on a
# generated 200 MB pair (BIG=0 leaves it out), and last, under Wine, the time
# to apply each patch, MB/s of output and the decoder's peak private memory.
# Prints figures; judges nothing.
#
#   BUILD_ROOT=build bash scripts/bench-deltas.sh [NEW_COMMIT]
# Each commit's programs are built once (those two targets only, niced) from
# `git archive` into $BUILD_ROOT/delta-pairs/<commit>, so no worktree changes;
# the Debian packages and generated pairs are kept in $BUILD_ROOT/delta-pairs
# too, so a second run only measures. WINE=0 leaves out the programs built with
# mingw and the Wine part.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(cd "${BUILD_ROOT:-$root/build}" && pwd)
jobs=${JOBS:-2}
new=$(git -C "$root" rev-parse "${1:-cea236d852bebdd25f6ee113e5f2f67f70f3e70e}")
distances=(10 50 120)
wine=${WINE:-1}

# The commit N places before $new in the log (merged branches interleave, so
# fewer or more than N of its commits may be missing from the older one).
commit_before() { git -C "$root" rev-list "$new" | sed -n "$(($1 + 1))p"; }

build_commit() {  # commit -> $out/delta-pairs/<commit>/{Torvane,Quillet}.exe, stripped
  local commit=$1 dest=$out/delta-pairs/$1
  [[ -f $dest/Torvane.exe && -f $dest/Quillet.exe ]] && return
  local src=$out/delta-pairs/src-$commit program
  rm -rf "$src" && mkdir -p "$src" "$dest"
  git -C "$root" archive "$commit" | tar -x -C "$src"
  cmake -S "$src" -B "$src/build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  for program in Torvane Quillet; do
    nice -n 5 cmake --build "$src/build" -j "$jobs" --target $program >/dev/null
    # Older commits shipped their debug data; compare what users download now.
    SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-strip -o "$dest/$program.exe" "$src/build/bin/$program.exe"
  done
  rm -rf "$src"
}

# package old-version new-version path-in-package: the Debian pairs, each
# package in two versions the archive serves (`apt-cache madison NAME`).
pe_debian_pairs=(
  "systemd-boot-efi 252.38-1~deb12u1 252.39-1~deb12u2 usr/lib/systemd/boot/efi/systemd-bootx64.efi"
  "grub-efi-amd64-bin 2.06-13+deb12u1 2.06-13+deb12u2 usr/lib/grub/x86_64-efi/monolithic/grubx64.efi"
)
other_debian_pairs=(
  "libcurl4 7.88.1-10+deb12u5 7.88.1-10+deb12u15 usr/lib/x86_64-linux-gnu/libcurl.so.4.8.0"
  "openssh-client 1:9.2p1-2+deb12u9 1:9.2p1-2+deb12u10 usr/bin/ssh"
)
debian_file() {  # package version path -> the extracted file
  local dest=$out/delta-pairs/deb/$1-${2//:/_}
  if [[ ! -f $dest/$3 ]]; then
    mkdir -p "$dest"
    (cd "$out/delta-pairs/deb" && timeout 300 apt-get download "$1=$2" >/dev/null 2>&1)
    dpkg-deb -x "$out/delta-pairs/deb/$1_${2//:/%3a}_amd64.deb" "$dest"
  fi
  echo "$dest/$3"
}
debian_pair() {  # "package old new path" -> "name old-file new-file"
  local package from to path
  read -r package from to path <<<"$1"
  echo "$(basename "$path") $(debian_file "$package" "$from" "$path") $(debian_file "$package" "$to" "$path")"
}
generated_pair() {  # size -> "base target"
  local dir=$out/delta-pairs/gen
  mkdir -p "$dir"
  [[ -f $dir/base-$1 && -f $dir/target-$1 ]] ||
    python3 "$root/scripts/gen-delta-pair.py" "$1" "$dir/base-$1" "$dir/target-$1"
  echo "$dir/base-$1 $dir/target-$1"
}

# The x64 programs first: the geometric mean is over them.
pe_pairs=()
declare -A last_old last_name
if ((wine)); then
  build_commit "$new"
  for distance in "${distances[@]}"; do
    old=$(commit_before "$distance")
    build_commit "$old"
    for program in Torvane.exe Quillet.exe; do
      # A program that did not change over more commits adds no pair of its own.
      cmp -s "$out/delta-pairs/$old/$program" "${last_old[$program]:-/dev/null}" &&
        { echo "$program~$distance: the same pair as ${last_name[$program]}, left out" >&2; continue; }
      pe_pairs+=("$program~$distance $out/delta-pairs/$old/$program $out/delta-pairs/$new/$program")
      last_old[$program]=$out/delta-pairs/$old/$program
      last_name[$program]=$program~$distance
    done
  done
fi
for entry in "${pe_debian_pairs[@]}"; do pe_pairs+=("$(debian_pair "$entry")"); done

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
other_pairs=("side.bmp $work/side-old.bmp $work/side-new.bmp")
for entry in "${other_debian_pairs[@]}"; do other_pairs+=("$(debian_pair "$entry")"); done
other_pairs+=("64MiB $(generated_pair $((64 << 20)))")

row_format='%-16s %10s %9s %9s %9s %6s %6s %8s %7s %5s %7s\n'
printf "$row_format" file whole ours bsdiff zstd /bsdiff /zstd encode peak xfile 'MB/s'
measure() {  # name base target -> one row; "ratio-to-bsdiff ratio-to-zstd" on fd 3
  local name=$1 base=$2 target=$3 full ours secs peak speed bsize zsize
  read -r full ours _ secs peak speed <<<"$("$out/bench/bench/delta_bench" "$base" "$target" "$work/$name.patch")"
  timeout 1800 bsdiff "$base" "$target" "$work/$name.bsdiff"
  # -q leaves zstd's tuning advice on stderr.
  timeout 1800 zstd -q -f -19 --long=27 --patch-from="$base" "$target" -o "$work/$name.zst" 2>/dev/null
  bsize=$(stat -c %s "$work/$name.bsdiff")
  zsize=$(stat -c %s "$work/$name.zst")
  local larger=$(( $(stat -c %s "$base") > full ? $(stat -c %s "$base") : full ))
  printf "$row_format" "$name" "$full" "$ours" "$bsize" "$zsize" \
    "$(awk "BEGIN { printf \"%.2f\", $ours / $bsize }")" "$(awk "BEGIN { printf \"%.2f\", $ours / $zsize }")" "$secs" \
    "$(echo "${peak%x} * $larger / 1048576" | bc)M" "$peak" "$speed"
  echo "$ours $bsize $zsize" >&3
  apply_args+=("$name" "Z:${base//\//\\}" "Z:${work//\//\\}\\$name.patch" "Z:${work//\//\\}\\$name.out")
}
apply_args=()
for pair in "${pe_pairs[@]}"; do measure $pair; done 3>"$work/pe-sizes"
awk '{ b += log($1 / $2); z += log($1 / $3); above_b += $1 > $2; above_z += $1 > $3 }
  END { printf "x64 programs, %d pairs: geometric mean %.3f x bsdiff, %.3f x zstd; above bsdiff: %d, above zstd: %d\n",
        NR, exp(b / NR), exp(z / NR), above_b, above_z }' "$work/pe-sizes"
for pair in "${other_pairs[@]}"; do measure $pair; done 3>/dev/null

if ((${BIG:-1})); then
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
fi

((wine)) || exit 0
HARNESS_KEEP_PREFIX=1 harness_start "$out/wine"
echo
# One process per pair, so that each peak is that pair's own.
for ((i = 0; i < ${#apply_args[@]}; i += 4)); do
  "$root/tests/wine/wine-run" --timeout 600 "$out/win/bin/bench/delta_apply_bench.exe" "${ROUNDS:-5}" \
    "${apply_args[@]:i:4}" | { ((i == 0)) && cat || tail -n +2; }
done
for pair in "${pe_pairs[@]}" "${other_pairs[@]}"; do
  read -r name base target <<<"$pair"
  cmp -s "$target" "$work/$name.out" || { echo "$name: the applied output differs from the target" >&2; exit 1; }
done
