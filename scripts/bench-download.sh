#!/usr/bin/env bash
# Download benchmark: one large file from a local HTTP server, fetched under
# Wine by the download client (DownloadFile reporting to the real hidden update
# dialog on another thread, to nothing, and to a bare progress bar it waits for
# at every chunk) and by a bare WinINet loop with the same flags, then by
# native curl for context. Prints MiB/s of each and the ratios client / bare
# loop (goal: at least 0.9).
#
#   BUILD_ROOT=/work/main/build-x bash scripts/bench-download.sh [SIZE_MIB] [ROUNDS]
#
# Needs the Windows tree built (bin/bench/ of $BUILD_ROOT/win). Starts and
# stops its own Wine harness (prefix $BUILD_ROOT/wine, kept between runs) and
# its own server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}
size_mib=${1:-256}
rounds=${2:-2}
bench_dir=$out/win/bin/bench
for exe in wininet_fetch.exe download_client_bench.exe; do
  [ -f "$bench_dir/$exe" ] || { echo "bench-download: $bench_dir/$exe missing; build first" >&2; exit 2; }
done

work=$(mktemp -d /tmp/bench-download.XXXXXX)
server_pid=
cleanup() {
  set +e
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  harness_stop 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root" "$work/out"
head -c $((size_mib * 1048576)) /dev/urandom >"$work/root/big.bin"

. "$root/tests/wine/harness.sh"
HARNESS_KEEP_PREFIX=1 harness_start "$out/wine"

python3 "$root/tests/fixtures/http_server.py" --root "$work/root" --port-file "$work/port" \
  --max-lifetime 1800 >/dev/null &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
url="http://127.0.0.1:$port/big.bin"
win_out=$(winepath -w "$work/out")

run() {  # prints the MiB/s figure of one run
  timeout 600 wine "$@" | tr -d '\r' | tee /dev/stderr | sed -n 's/.*, \([0-9.]*\) MiB\/s$/\1/p'
  rm -f "$work/out"/*.bin
  # Runs without INTERNET_FLAG_NO_CACHE_WRITE leave a copy in the prefix's cache.
  find "$WINEPREFIX/drive_c/users" -ipath '*INetCache*' -name 'big*' -type f -delete 2>/dev/null || true
}

best() { printf '%s\n' "$@" | sort -g | tail -n1; }

bare=() client=() nobar=() syncbar=() cache_on=()
for _ in $(seq 1 "$rounds"); do
  bare+=("$(run "$bench_dir/wininet_fetch.exe" --out "$win_out" "$url")")
  client+=("$(run "$bench_dir/download_client_bench.exe" --out "$win_out" "$url")")
  nobar+=("$(run "$bench_dir/download_client_bench.exe" --no-bar --out "$win_out" "$url")")
  syncbar+=("$(run "$bench_dir/download_client_bench.exe" --sync-bar --out "$win_out" "$url")")
  # The flags without INTERNET_FLAG_NO_CACHE_WRITE: WinINet also fills its cache.
  cache_on+=("$(run "$bench_dir/wininet_fetch.exe" --flags 80000002 --out "$win_out" "$url")")
done

curl_rate=n/a
if command -v curl >/dev/null; then
  bytes_per_s=$(curl -s -o "$work/out/curl.bin" -w '%{speed_download}' "$url")
  curl_rate=$(awk -v b="$bytes_per_s" 'BEGIN { printf "%.1f", b / 1048576 }')
  rm -f "$work/out/curl.bin"
fi

b=$(best "${bare[@]}")
c=$(best "${client[@]}")
n=$(best "${nobar[@]}")
y=$(best "${syncbar[@]}")
s=$(best "${cache_on[@]}")
echo
echo "file: $size_mib MiB, best of $rounds rounds"
echo "bare WinINet loop (0x84000002):           $b MiB/s"
echo "DownloadFile, update dialog on UI thread: $c MiB/s"
echo "DownloadFile, no progress bar:            $n MiB/s"
echo "DownloadFile, waiting for a bare bar:     $y MiB/s"
echo "bare WinINet loop, cache on (0x80000002): $s MiB/s"
echo "curl, native:                             $curl_rate MiB/s"
awk -v c="$c" -v n="$n" -v y="$y" -v b="$b" -v s="$s" 'BEGIN {
  printf "DownloadFile / bare loop, with dialog:    %.2f (goal >= 0.90)\n", c / b
  printf "DownloadFile / bare loop, waiting bar:    %.2f\n", y / b
  printf "DownloadFile / bare loop, without bar:    %.2f\n", n / b
  printf "no-cache-write gain (bare loop):          %.2fx\n", b / s }'
# The bare loop's best round can be an outlier; the same round's figures are
# taken at the same moment, so their ratios vary less.
ratios=()
for i in "${!bare[@]}"; do ratios+=("$(awk -v c="${client[$i]}" -v b="${bare[$i]}" 'BEGIN { printf "%.2f", c / b }')"); done
echo "DownloadFile with dialog / bare loop, round by round: ${ratios[*]} (median $(printf '%s\n' "${ratios[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'))"
