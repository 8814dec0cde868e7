# Wine harness for the Windows-side tests. Source it, then:
#   harness_start DIR   boots a fresh prefix in DIR/prefix (or reuses it with
#                       HARNESS_KEEP_PREFIX=1), starts Xvfb when there is no
#                       display, and exports WINEPREFIX, DISPLAY, LANG, WINEDEBUG
#   harness_stop        ends everything harness_start started (wineserver -k on
#                       its own prefix, Xvfb by its PID)
# The prefix runs in a Chinese locale, so the ANSI code page is 936.

harness_xvfb_pid=

harness_start() {
  local dir=$1
  mkdir -p "$dir"
  export WINEPREFIX
  WINEPREFIX=$(cd "$dir" && pwd)/prefix
  export WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
  unset LC_ALL LANGUAGE
  export LANG=zh_CN.UTF-8
  # Only our own processes are wanted on the display: no Mono or Gecko prompts.
  export WINEDLLOVERRIDES="mscoree=;winemenubuilder.exe="

  if [ -z "${DISPLAY:-}" ]; then
    local fd_file
    fd_file=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
    harness_xvfb_pid=$!
    local i
    for i in $(seq 1 100); do
      [ -s "$fd_file" ] && break
      sleep 0.1
    done
    export DISPLAY=":$(head -n1 "$fd_file")"
    rm -f "$fd_file"
  fi

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
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  if [ -n "$harness_xvfb_pid" ]; then
    kill "$harness_xvfb_pid" 2>/dev/null
    wait "$harness_xvfb_pid" 2>/dev/null
    harness_xvfb_pid=
  fi
  return 0
}
