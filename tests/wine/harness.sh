# Wine harness for the Windows-side tests. Source it, then:
#   harness_start DIR   boots a fresh prefix in DIR/prefix (or reuses it with
#                       HARNESS_KEEP_PREFIX=1), starts Xvfb when there is no
#                       display, and exports WINEPREFIX, DISPLAY, LANG, WINEDEBUG
#   harness_stop        ends everything harness_start started (wineserver -k on
#                       its own prefixes, Xvfb by its PID)
# The prefix runs in a Chinese locale, so the ANSI code page is 936.
#
# With HARNESS_SLOTS=N (N > 1) it boots N prefixes side by side, each with its
# own display (slot 0 is DIR/prefix and the exported one; slot i is
# DIR/slot<i>/prefix), writes DIR/slot-<i>.env for each and a CTest resource
# file naming them (HARNESS_RESOURCE_SPEC). ctest -j N, given that file (as
# scripts/test.sh does), then runs N tests at a time, and tests/wine/wine-run
# and tests/support/wine.py move each test to the prefix and display of the
# slot CTest gave it (HARNESS_DIR names the folder).

harness_xvfb_pids=()

# Starts an Xvfb of its own and sets harness_display to its display (not in a
# subshell: its PID must be kept for harness_stop).
harness_new_display() {
  local fd_file
  fd_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
  harness_xvfb_pids+=($!)
  local i
  for i in $(seq 1 100); do
    [ -s "$fd_file" ] && break
    sleep 0.1
  done
  harness_display=":$(head -n1 "$fd_file")"
  rm -f "$fd_file"
}

# Boots (or reuses) the prefix WINEPREFIX on DISPLAY; run in a subshell per slot.
harness_boot_prefix() {
  if [ "${HARNESS_KEEP_PREFIX:-0}" != 1 ] || [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    echo "harness: booting Wine prefix $WINEPREFIX" >&2
    timeout 180 wineboot -i >/dev/null 2>&1
    timeout 60 wineserver -w
    harness_configure_prefix
  fi
  # A persistent wineserver and one warm process make every later start fast.
  wineserver -p >/dev/null 2>&1
  timeout 60 wine cmd /c exit >/dev/null 2>&1 || true
}

harness_start() {
  local dir=$1
  local slots=${HARNESS_SLOTS:-1}
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  export HARNESS_DIR=$dir
  export WINEPREFIX=$dir/prefix
  export WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
  unset LC_ALL LANGUAGE
  export LANG=zh_CN.UTF-8
  # Only our own processes are wanted on the display: no Mono or Gecko prompts.
  export WINEDLLOVERRIDES="mscoree=;winemenubuilder.exe="

  if [ -z "${DISPLAY:-}" ]; then
    harness_new_display
    export DISPLAY=$harness_display
  fi
  printf 'WINEPREFIX=%q\nDISPLAY=%q\n' "$WINEPREFIX" "$DISPLAY" >"$dir/slot-0.env"
  local i pids=() resources='{"version":{"major":1,"minor":0},"local":[{"wine":[{"id":"0","slots":1}'
  for ((i = 1; i < slots; i++)); do
    harness_new_display
    printf 'WINEPREFIX=%q\nDISPLAY=%q\n' "$dir/slot$i/prefix" "$harness_display" >"$dir/slot-$i.env"
    resources+=',{"id":"'$i'","slots":1}'
  done
  echo "$resources]}]}" >"$dir/resources.json"
  export HARNESS_RESOURCE_SPEC=$dir/resources.json
  # The prefixes boot side by side: wineboot mostly waits.
  for ((i = 0; i < slots; i++)); do
    (. "$dir/slot-$i.env"; export WINEPREFIX DISPLAY; mkdir -p "$(dirname "$WINEPREFIX")"; harness_boot_prefix) &
    pids+=($!)
  done
  for i in "${pids[@]}"; do wait "$i"; done
}

harness_configure_prefix() {
  # CJK text renders with a font that is really there.
  local reg
  reg=$(mktemp --suffix=.reg)
  printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n"SimSun"="WenQuanYi Micro Hei"\r\n"NSimSun"="WenQuanYi Micro Hei"\r\n"\xcb\xce\xcc\xe5"="WenQuanYi Micro Hei"\r\n' >"$reg"
  timeout 60 wine regedit /S "$(winepath -w "$reg")" >/dev/null 2>&1 || true
  timeout 60 wineserver -w
  rm -f "$reg"
}

harness_stop() {
  local env_file
  if [ -n "${HARNESS_DIR:-}" ]; then
    for env_file in "$HARNESS_DIR"/slot-*.env; do
      [ -f "$env_file" ] || continue
      (. "$env_file"; export WINEPREFIX; wineserver -k >/dev/null 2>&1)
    done
  elif [ -n "${WINEPREFIX:-}" ]; then
    wineserver -k >/dev/null 2>&1
  fi
  local pid
  for pid in "${harness_xvfb_pids[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  harness_xvfb_pids=()
  return 0
}
