#!/usr/bin/env bash
# Shows Quillet's recommendation window under Wine and Xvfb and saves a
# screenshot of it, with a margin of the empty screen around it, as
# docs/quillet-recommend.png. The page itself stays blank: Debian's Wine has
# no Gecko engine, so the hosted browser shows an empty body inside the skin.
#   BUILD_ROOT=build-x bash scripts/screenshot-quillet.sh [output.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}
exe=$out/win/bin/Quillet.exe
shot=${1:-$root/docs/quillet-recommend.png}
[ -f "$exe" ] || { echo "no $exe: build first (scripts/build.sh)" >&2; exit 1; }

. "$root/tests/wine/harness.sh"
set +e  # the harness tolerates failing steps (an already running server)
HARNESS_KEEP_PREFIX=${HARNESS_KEEP_PREFIX:-1} harness_start "$out/wine"
set -e
quillet=
cleanup() {
  [ -n "$quillet" ] && kill "$quillet" 2>/dev/null
  harness_stop
}
trap cleanup EXIT

timeout -k 5 60 wine "$exe" /Recommend &
quillet=$!
timeout 20 xdotool search --sync --onlyvisible --name "推荐影视" >/dev/null
sleep 1  # let the first paint reach the screen

read -r width height < <(xdotool getdisplaygeometry)
margin=20
left=$(( (width - 600) / 2 - margin ))
top=$(( (height - 450) / 2 - margin ))
mkdir -p "$(dirname "$shot")"
import -window root -crop "$((600 + 2 * margin))x$((450 + 2 * margin))+$left+$top" +repage "$shot"

# A second start ends the first, as the single-instance rule says.
timeout -k 5 20 wine "$exe" /Close || true
wait "$quillet" || true
quillet=
echo "screenshot: $shot"
