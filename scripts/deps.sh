#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, when they are missing.
# Safe to run again: it does nothing when everything is present.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev googletest libgtest-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64 xvfb xauth locales x11-utils
  fonts-wqy-microhei imagemagick xdotool
  python3 python3-pil openssl strace osslsigncode git
  libssl-dev libcurl4-openssl-dev libcli11-dev
  libz-mingw-w64-dev zlib1g-dev libdivsufsort-dev libdeflate-dev bsdiff zstd time gdb
  nginx tinyproxy varnish ca-certificates curl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine needs a Chinese locale so that the ANSI code page is 936.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$'; then
  echo "deps: generating zh_CN.UTF-8"
  localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi
