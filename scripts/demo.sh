#!/usr/bin/env bash
# The main job: a real, signed update of a demo client folder from a local
# update server, under Wine. Installs what is missing, makes a demo publisher
# key with openssl (what `torvane-publish keygen` does for a real publisher),
# builds only what the demo runs (Torvane.exe with that public key compiled in,
# and the stand-in client), then runs scripts/demo.py, which signs the manifest
# with the private key and saves pictures of the balloons the user would see.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}

bash "$root/scripts/deps.sh"

# A new key for every demo; it signs nothing but the demo's manifest.
key_dir="$out/demo-key"
mkdir -p "$key_dir"
openssl ecparam -name prime256v1 -genkey -noout -out "$key_dir/publisher.pem"
openssl ec -in "$key_dir/publisher.pem" -pubout -out "$key_dir/publisher.pub.pem" 2>/dev/null
cmake -S "$root" -B "$out/win-demo" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTORVANE_MANIFEST_KEYS="$key_dir/publisher.pub.pem" >/dev/null
cmake --build "$out/win-demo" -j "${JOBS:-$(nproc)}" --target Torvane fake_halvix fake_halvix_2_0_200_7 \
  mirelo_com_server

# Our own X server, so that the pictures show only the demo's Wine desktop.
unset DISPLAY
. "$root/tests/wine/harness.sh"
trap harness_stop EXIT
HARNESS_KEEP_PREFIX=${HARNESS_KEEP_PREFIX:-1} harness_start "$out/wine-demo"
python3 "$root/scripts/demo.py" --bin "$out/win-demo/bin" --out "$out/demo" --key "$key_dir/publisher.pem"
