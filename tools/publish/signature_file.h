#pragma once
// The manifest's signature file (manifest URL + ".sig"): INI text of at most
// 4096 bytes with one to four sections [Signature0] ... [Signature3], each
//   Algorithm=ECDSA-P256-SHA256
//   KeyId=<16 lowercase hex digits: SHA-256 of the public key's X||Y, first 8 bytes>
//   Value=<128 hex digits: r||s over SHA-256 of the manifest's bytes>
// Several sections let a publisher sign with an old and a new key at once.

#include <cstddef>
#include <string>
#include <vector>

#include "tools/publish/publish_crypto.h"
#include "updater/base/manifest_keys.h"
#include "updater/base/manifest_signature.h"

namespace publish {

constexpr std::size_t kMaxSignatureFileBytes = manifest_signature::kMaxFileBytes;
constexpr int kMaxSignatureSections = manifest_signature::kMaxSections;
constexpr const char* kSignatureAlgorithm = manifest_signature::kAlgorithm;

struct SignatureEntry {
  std::string algorithm;
  std::string keyId;
  std::string value;
};

// The sections of a signature file, in order. False with error set when the
// file is too long, a section is incomplete, or there is none.
bool ParseSignatureFile(const std::string& text, std::vector<SignatureEntry>& entries, std::string& error);

// The text of a signature file (CRLF lines), sections numbered from 0.
std::string FormatSignatureFile(const std::vector<SignatureEntry>& entries);

// A new section for manifest signed with privateKey; empty value on failure.
SignatureEntry SignManifest(EVP_PKEY* privateKey, const std::string& manifest);

// The key as the updater holds it: its id and its point X||Y.
ManifestKey ToManifestKey(EVP_PKEY* publicKey);

// Whether the updater, built with keys, accepts manifest with signatureText:
// its own section selection (updater/base/manifest_signature.h), with the
// value verified by OpenSSL. keyIndex tells which key verified.
bool UpdaterAccepts(const std::string& signatureText, const std::vector<EVP_PKEY*>& publicKeys,
                    const std::string& manifest, int* keyIndex = nullptr);

}  // namespace publish
