#pragma once
// The publisher's public keys that a manifest's signature is checked against.
// They are compiled in (cmake/manifest_keys.py turns the PEM files named by
// the cache variable TORVANE_MANIFEST_KEYS into BuiltInManifestKeys()), so no
// file, setting or server can add one. Without keys, manifests are not signed.

#include <array>
#include <vector>

struct ManifestKey {
  std::array<unsigned char, 8> id;   // the first 8 bytes of SHA-256 over xy
  std::array<unsigned char, 64> xy;  // the P-256 point: X then Y, big-endian
};

// The keys of this executable; each executable target generates its own
// definition, so that a test build can carry a test key.
std::vector<ManifestKey> BuiltInManifestKeys();
