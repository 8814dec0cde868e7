#!/usr/bin/env bash
# Builds the release pair, Torvane.exe and Quillet.exe, twice in two folders,
# checks that both builds gave the same bytes, signs both programs (Authenticode,
# SHA-256, osslsigncode), verifies the signatures, checks that removing them
# gives back the reproducible bytes, and writes SHA256SUMS beside them.
#
#   scripts/release.sh (--cert CERT.pem --key KEY.pem | --pkcs12 FILE.p12)
#                      --ca CA.pem [--pass env:VAR|file:PATH] [--timestamp URL]
#                      [--tsa-ca CA.pem] [--out DIR] [--builds DIR_A DIR_B]
#   scripts/release.sh --check-reproducible [--builds DIR_A DIR_B]
#
#   --cert/--key   the publisher's code-signing certificate (chain) and private key, PEM
#   --pkcs12       or both in one PKCS#12 file
#   --pass         the key's passphrase: env:VAR or file:PATH (never on the command line)
#   --ca           the CA certificates the signatures must verify against
#   --timestamp    an RFC 3161 time-stamping URL; --tsa-ca verifies its answer
#                  (default: the system's CA bundle)
#   --out          where the signed pair, the unsigned pair, SHA256SUMS and the
#                  manifest keys go (default build/release/dist); it is made
#                  beside it and replaces it only once everything held. The
#                  programs' debug files go to its debug/ folder, for the
#                  publisher only
#   --builds       two build trees to use; without it, build/release/a and
#                  build/release/b are made from scratch
#   --check-reproducible  stop after the comparison: nothing is signed
#
# The manifest keys of the release come from TORVANE_MANIFEST_KEYS (a ;-list of
# PEM files), as for any build; their ids are printed and the keys written to
# manifest-keys/ in --out, for a third party to build with the same keys.
# Exit status 0 when everything held, 1 otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
programs=(Torvane.exe Quillet.exe)

fail() { echo "release: $*" >&2; exit 1; }

cert= key= pkcs12= pass= ca= timestamp= tsa_ca=/etc/ssl/certs/ca-certificates.crt
out=$root/build/release/dist
build_a= build_b= check_only=0
while [ $# -gt 0 ]; do
  case $1 in
    --cert) cert=$2; shift 2 ;;
    --key) key=$2; shift 2 ;;
    --pkcs12) pkcs12=$2; shift 2 ;;
    --pass) pass=$2; shift 2 ;;
    --ca) ca=$2; shift 2 ;;
    --timestamp) timestamp=$2; shift 2 ;;
    --tsa-ca) tsa_ca=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --builds) build_a=$2; build_b=$3; shift 3 ;;
    --check-reproducible) check_only=1; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d;s/^# \{0,1\}//'; exit 0 ;;
    *) fail "unknown argument $1 (see --help)" ;;
  esac
done

if [ $check_only = 0 ]; then
  if [ -n "$pkcs12" ]; then
    [ -z "$cert$key" ] || fail "give --pkcs12 or --cert/--key, not both"
    [ -r "$pkcs12" ] || fail "cannot read $pkcs12"
  else
    [ -n "$cert" ] && [ -n "$key" ] || fail "no signing certificate: --cert and --key, or --pkcs12"
    [ -r "$cert" ] && [ -r "$key" ] || fail "cannot read $cert or $key"
  fi
  [ -n "$ca" ] && [ -r "$ca" ] || fail "no CA to verify against: --ca CA.pem"
  # The passphrase reaches osslsigncode through a pipe, never its command line.
  passphrase=
  case $pass in
    "") ;;
    env:*) var=${pass#env:}; [ -n "${!var+x}" ] || fail "--pass $pass: $var is not set"; passphrase=${!var} ;;
    file:*) [ -r "${pass#file:}" ] || fail "--pass $pass: cannot read the file"
            passphrase=$(head -n1 "${pass#file:}") ;;
    *) fail "--pass takes env:VAR or file:PATH" ;;
  esac
  # A wrong passphrase is said now, in one line, not after the two builds.
  signing_key=${pkcs12:-$key}
  if [ -n "$pkcs12" ]; then
    opens() { openssl pkcs12 -in "$pkcs12" -noout -passin fd:3 3<<<"$passphrase" >/dev/null 2>&1; }
  else
    opens() { openssl pkey -in "$key" -noout -passin fd:3 3<<<"$passphrase" >/dev/null 2>&1; }
  fi
  if ! opens; then
    [ -n "$pass" ] || fail "$signing_key needs a passphrase: give --pass env:VAR or --pass file:PATH"
    fail "the passphrase does not open $signing_key"
  fi
fi

bash "$root/scripts/deps.sh"

version=$(head -n1 "$root/VERSION")
commit=$(git -C "$root" rev-parse HEAD 2>/dev/null || echo unknown)
if [ "$commit" != unknown ] && [ -n "$(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  commit="$commit (with uncommitted changes)"
fi

# A cache of compiled objects would hide a compiler that is not deterministic.
export CCACHE_DISABLE=1
build_pair() {
  local dir=$1 reference=${2:-}
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    local options=(-DCMAKE_BUILD_TYPE=Release "-DTORVANE_MANIFEST_KEYS=${TORVANE_MANIFEST_KEYS:-}")
    if [ -n "$reference" ]; then
      # The second tree takes the first one's settings, so that only the folder differs.
      local name value
      for name in CMAKE_BUILD_TYPE TORVANE_MANIFEST_KEYS QUILLET_WEB_HOST MIRELO_COMPANY MIRELO_PRODUCT MIRELO_COPYRIGHT; do
        value=$(sed -n "s/^$name:[A-Z]*=//p" "$reference/CMakeCache.txt")
        options+=("-D$name=$value")
      done
    fi
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      "${options[@]}" >/dev/null
  fi
  cmake --build "$dir" --target Torvane Quillet -j "${JOBS:-$(nproc)}" >/dev/null
}

if [ -z "$build_a" ]; then
  build_a=$root/build/release/a
  build_b=$root/build/release/b
  rm -rf "$build_a" "$build_b"
fi
echo "release: building $version in $build_a and $build_b" >&2
build_pair "$build_a"
build_pair "$build_b" "$build_a"

declare -A unsigned_sum
for program in "${programs[@]}"; do
  # The debug file (the program's debug sections and symbols, cmake/reproducible.cmake)
  # must be reproducible too, or a crash address could not be read with it.
  a=$(sha256sum <"$build_a/bin/$program.debug" | cut -d' ' -f1)
  b=$(sha256sum <"$build_b/bin/$program.debug" | cut -d' ' -f1)
  [ "$a" = "$b" ] || fail "$program.debug is not reproducible: $a in $build_a, $b in $build_b"
  a=$(sha256sum <"$build_a/bin/$program" | cut -d' ' -f1)
  b=$(sha256sum <"$build_b/bin/$program" | cut -d' ' -f1)
  [ "$a" = "$b" ] || fail "$program is not reproducible: $a in $build_a, $b in $build_b"
  python3 "$root/cmake/pe_checksum.py" --check "$build_a/bin/$program" || fail "$program: wrong PE checksum"
  unsigned_sum[$program]=$a
  echo "release: $program reproducible, sha256 $a" >&2
done

# The manifest keys the pair was built with, as the first tree's cache holds them.
manifest_keys=$(sed -n 's/^TORVANE_MANIFEST_KEYS:[A-Z]*=//p' "$build_a/CMakeCache.txt")
key_id() {  # as torvane-publish keyid: SHA-256 of the P-256 point X||Y, first 8 bytes
  local der
  der=$(mktemp)
  openssl pkey -pubin -in "$1" -outform DER -out "$der" 2>/dev/null && [ "$(wc -c <"$der")" = 91 ] \
    || { rm -f "$der"; fail "$1 is not a P-256 public key"; }
  tail -c 64 "$der" | sha256sum | cut -c1-16
  rm -f "$der"
}
declare -A manifest_key_id manifest_key_copy
IFS=';' read -r -a manifest_key_files <<<"$manifest_keys"
for i in "${!manifest_key_files[@]}"; do  # as CMake takes them: relative to the source tree
  [[ ${manifest_key_files[$i]} = /* ]] || manifest_key_files[$i]=$root/${manifest_key_files[$i]}
done
for file in "${manifest_key_files[@]}"; do
  manifest_key_id[$file]=$(key_id "$file")
  echo "release: Torvane.exe takes manifests signed by key ${manifest_key_id[$file]} ($file)" >&2
done
((${#manifest_key_files[@]})) || echo "release: Torvane.exe has no manifest key: it takes unsigned manifests" >&2
[ $check_only = 1 ] && exit 0

# Everything goes to a new folder beside --out, which replaces the old one
# only at the end: a failed run leaves the previous release as it was.
final_out=$out
mkdir -p "$(dirname "$final_out")"
out=$(mktemp -d "$final_out.new-XXXXXX")
trap 'rm -rf "$out"' EXIT
mkdir -p "$out/unsigned" "$out/debug"
signer_cert=$cert
if [ -n "$pkcs12" ]; then
  signer_cert=$out/signer.pem
  openssl pkcs12 -in "$pkcs12" -nokeys -clcerts -passin fd:3 -out "$signer_cert" 3<<<"$passphrase" \
    || fail "cannot read the certificate of $pkcs12"
fi
subject=$(openssl x509 -in "$signer_cert" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
[ -n "$pkcs12" ] && rm -f "$signer_cert"

for program in "${programs[@]}"; do
  cp "$build_a/bin/$program" "$out/unsigned/$program"
  cp "$build_a/bin/$program.debug" "$out/debug/$program.debug"
  sign=(osslsigncode sign -h sha256 -n "${program%.exe}" -in "$out/unsigned/$program" -out "$out/$program")
  if [ -n "$pkcs12" ]; then sign+=(-pkcs12 "$pkcs12"); else sign+=(-certs "$cert" -key "$key"); fi
  [ -n "$pass" ] && sign+=(-readpass /dev/fd/3)
  [ -n "$timestamp" ] && sign+=(-ts "$timestamp")
  "${sign[@]}" 3< <(printf '%s' "$passphrase") >/dev/null || fail "signing $program failed"

  verify=(osslsigncode verify -CAfile "$ca" -in "$out/$program")
  [ -n "$timestamp" ] && verify+=(-TSA-CAfile "$tsa_ca")
  "${verify[@]}" >"$out/$program.verify.txt" 2>&1 \
    || { cat "$out/$program.verify.txt" >&2; fail "the signature of $program does not verify"; }
  rm -f "$out/$program.verify.txt"

  # The signature must be the only difference from the reproducible bytes.
  osslsigncode remove-signature -in "$out/$program" -out "$out/$program.stripped" >/dev/null \
    || fail "cannot remove the signature of $program"
  cmp -s "$out/$program.stripped" "$out/unsigned/$program" \
    || fail "$program without its signature differs from the reproducible build"
  rm -f "$out/$program.stripped"
done
(cd "$out" && sha256sum "${programs[@]}" >SHA256SUMS)
(cd "$out/unsigned" && sha256sum "${programs[@]}" >SHA256SUMS)
(cd "$out/debug" && sha256sum "${programs[@]/%/.debug}" >SHA256SUMS)
if ((${#manifest_key_files[@]})); then
  # Numbered in the build's order, which a rebuild with the same keys must keep.
  mkdir -p "$out/manifest-keys"
  n=0
  for file in "${manifest_key_files[@]}"; do
    n=$((n + 1))
    manifest_key_copy[$file]=manifest-keys/$n-${manifest_key_id[$file]}.pub.pem
    cp "$file" "$out/${manifest_key_copy[$file]}"
  done
fi
chmod 755 "$out"
old_out=
if [ -e "$final_out" ]; then
  old_out=$(mktemp -d "$final_out.old-XXXXXX")
  mv "$final_out" "$old_out/"
fi
mv "$out" "$final_out"
trap - EXIT
[ -z "$old_out" ] || rm -rf "$old_out"
out=$final_out

note() { printf '%-14s%s\n' "$1:" "$2"; }
note version "$version"
note commit "$commit"
for program in "${programs[@]}"; do
  note "$program" "$(sha256sum <"$out/$program" | cut -d' ' -f1) (unsigned ${unsigned_sum[$program]})"
done
note signer "$subject"
for file in "${manifest_key_files[@]}"; do note "manifest key" "${manifest_key_id[$file]} ($out/${manifest_key_copy[$file]})"; done
((${#manifest_key_files[@]})) || note "manifest key" "none (takes unsigned manifests)"
if [ -n "$timestamp" ]; then note timestamp "$timestamp"; else note timestamp "not timestamped"; fi
note output "$out"
