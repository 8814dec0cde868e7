#!/usr/bin/env bash
# The main job: a real, signed update of a demo client folder from a local
# update server, under Wine. Installs what is missing, builds, makes a demo
# publisher key with openssl (what `torvane-publish keygen` does for a real
# publisher), builds a Torvane.exe with its public key compiled in, then runs
# scripts/demo.py, which signs the manifest with the private key.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_ROOT:-$root/build}

bash "$root/scripts/deps.sh"
bash "$root/scripts/build.sh"

# A new key for every demo; it signs nothing but the demo's manifest.
key_dir="$out/demo-key"
mkdir -p "$key_dir"
openssl ecparam -name prime256v1 -genkey -noout -out "$key_dir/publisher.pem"
openssl ec -in "$key_dir/publisher.pem" -pubout -out "$key_dir/publisher.pub.pem" 2>/dev/null
cmake -S "$root" -B "$out/win-signed" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTORVANE_MANIFEST_KEYS="$key_dir/publisher.pub.pem" >/dev/null
cmake --build "$out/win-signed" --target Torvane -j "${JOBS:-$(nproc)}"

. "$root/tests/wine/harness.sh"
trap harness_stop EXIT
HARNESS_KEEP_PREFIX=${HARNESS_KEEP_PREFIX:-1} harness_start "$out/wine-demo"
/usr/bin/python3 "$root/scripts/demo.py" --bin "$out/win/bin" --out "$out/demo" \
  --torvane "$out/win-signed/bin/Torvane.exe" --key "$key_dir/publisher.pem"
