#pragma once
// Signing a manifest so that a keyed updater takes it: the expiry and serial
// set in [Root] (docs/manifest-expiry.md), a signature by every key given, and
// no signature by another key dropped unless the publisher names it. Changing
// the manifest's bytes invalidates every signature in the old signature file,
// so a key whose signature is not made again is lost to its clients.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/publish/publish_crypto.h"
#include "tools/publish/signature_file.h"

namespace publish {

struct SigningKey {
  std::string path;
  Pkey key;
  std::string id;
};

// "env:VAR" or "file:PATH" (the file's first line). False with error set otherwise.
bool ReadPassphrase(const std::string& source, std::string& passphrase, std::string& error);

// Each private key in order; passphrase may be null. False with error set.
bool LoadSigningKeys(const std::vector<std::string>& paths, const std::string* passphrase,
                     std::vector<SigningKey>& keys, std::string& error);

// "90d", "36h", "2w": a positive number of hours, days or weeks, with its
// unit (a bare number or minutes read as days would surprise someone).
bool ParseDuration(const std::string& text, int64_t& seconds);

// Empty when --expires text may be used; else why not. A validity under a
// day or over two years needs force.
std::string ExpiresProblem(const std::string& text, bool force);

// [Root] Expires and Serial as written (empty when absent).
struct ManifestStamp {
  std::string expires;
  std::string serial;
};
ManifestStamp ReadManifestStamp(const std::string& manifest);

// The manifest with Expires = now + validFor and Serial = firstSerial when
// given (above the manifest's own), else the manifest's Serial plus 1, or 1
// when it has none; every other line kept. nullopt with error set when the
// manifest's Serial cannot be read (the serial never starts again) or
// firstSerial is not above it.
std::optional<std::string> StampManifest(const std::string& manifest, int64_t now, int64_t validFor,
                                         const std::string& firstSerial, std::string& error);

// The key ids of the existing signature file (null: there is none) whose
// signatures signing anew with keys removes. False with error set when one of
// them is neither given nor in dropIds, or the file cannot be read.
bool CheckKeyChange(const std::string* existingSignature, const std::vector<SigningKey>& keys,
                    const std::vector<std::string>& dropIds, std::vector<std::string>& removed,
                    std::string& error);

// One section per key, in the order given, each checked to verify the way the
// updater verifies it. False with error set.
bool SignWithEach(const std::vector<SigningKey>& keys, const std::string& manifest,
                  std::vector<SignatureEntry>& entries, std::string& error);

}  // namespace publish
