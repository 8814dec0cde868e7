#pragma once
// The check of a downloaded manifest against its downloaded signature file
// (format: manifest_signature.h), with CNG.

#include <string>
#include <vector>

#include "updater/base/manifest_keys.h"

// The path the signature file of the manifest at historyPath is kept under.
std::string SignaturePathFor(const std::string& historyPath);

// Whether the file at signaturePath (read only up to one byte past the size
// limit) accepts the bytes of the file at manifestPath for one of keys. False
// when either file cannot be read, CNG is missing, or no key is given.
bool SignedManifestVerifies(const std::string& manifestPath, const std::string& signaturePath,
                            const std::vector<ManifestKey>& keys);

// The same check of manifest bytes already read, the very bytes the caller
// goes on to parse.
bool SignedManifestBytesVerify(const std::string& manifestBytes, const std::string& signaturePath,
                               const std::vector<ManifestKey>& keys);
