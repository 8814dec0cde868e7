#!/usr/bin/env bash
# Takes the screenshots of the updater shown in the README: the prompt balloon,
# the success balloon and the (normally hidden) progress dialog with a file
# list. Each runs the demo program of tests/ui in a 1024x768 Wine desktop under
# Xvfb and saves docs/torvane-{prompt,success,dialog}.png.
#   BUILD_ROOT=/path/to/build scripts/screenshot-torvane.sh
# Needs a built tree (scripts/build.sh), imagemagick and xdotool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}
demo=$out/win/bin/torvane_dialog_demo.exe
[ -f "$demo" ] || { echo "no $demo; run scripts/build.sh first" >&2; exit 1; }

# Our own X server, so the shots show only the Wine desktop.
unset DISPLAY
. "$root/tests/wine/harness.sh"
stage=$(mktemp -d)
trap 'harness_stop; rm -rf "$stage"' EXIT
HARNESS_KEEP_PREFIX=${HARNESS_KEEP_PREFIX:-1} harness_start "$out/wine-shots"

# The demo stands in for both the updater and the client, whose version the
# success balloon names.
cp "$demo" "$stage/torvane_dialog_demo.exe"
cp "$demo" "$stage/Halvix.exe"
exe=$(winepath -w "$stage/torvane_dialog_demo.exe")

# Waits until a top-level window whose name matches $1 is mapped.
wait_window() {
  local i
  for i in $(seq 1 100); do
    xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "window '$1' did not appear" >&2
  return 1
}

# Waits until the balloon covers the pixel x,y of the desktop (Wine shows it a
# few seconds after it is asked for), then takes the shot.
shot_with_balloon() {
  local file=$1 x=$2 y=$3 i colour
  for i in $(seq 1 150); do
    import -window root -crop 1024x768+0+0 +repage "$file"
    colour=$(convert "$file" -crop "1x1+$x+$y" -format '%[hex:p{0,0}]' info:)
    [ "$colour" = FFFFFF ] && return 0
    sleep 0.1
  done
  echo "no balloon in ${file#"$root"/}" >&2
  return 1
}

# Runs the demo in one mode and shoots once the balloon covers x,y; waits for
# the demo to end, so that no icon or balloon of it is left for the next shot.
shoot() {
  local mode=$1 window=$2 x=$3 y=$4 file=$root/docs/torvane-$1.png
  timeout 60 wine explorer /desktop=torvane,1024x768 "$exe" "$mode" 15000 >/dev/null 2>&1 &
  local pid=$!
  wait_window "$window"
  shot_with_balloon "$file" "$x" "$y"
  # The dialog's controls need a moment more to be drawn.
  if [ "$mode" = dialog ]; then
    sleep 0.5
    import -window root -crop 1024x768+0+0 +repage "$file"
  fi
  local i
  for i in $(seq 1 300); do
    pgrep -f "torvane_dialog_demo.exe $mode" >/dev/null || break
    sleep 0.1
  done
  wait "$pid" || true
  echo "wrote ${file#"$root"/}"
}

mkdir -p "$root/docs"
# A balloon asked for while the desktop's tray is still being made is lost, so
# the desktop is brought up first and kept up for the whole session.
timeout 150 wine explorer /desktop=torvane,1024x768 "$exe" idle 120000 >/dev/null 2>&1 &
idle=$!
wait_window "torvane"
sleep 2
# The prompt's balloon reaches x 900; the success balloon, longer, reaches x 634.
shoot prompt "torvane" 900 694
shoot success "torvane" 634 715
shoot dialog "Mirelo" 900 694
kill "$idle" 2>/dev/null || true
wait "$idle" 2>/dev/null || true
