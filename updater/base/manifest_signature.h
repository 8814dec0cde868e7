#pragma once
// The signature file of the update manifest. The updater fetches it from the
// manifest's URL followed by ".sig" and keeps it beside the manifest as
// HistoryVersionList.cfg.sig. It is INI text in the manifest's syntax, read by
// the same rules (IniTextReader), of at most 4096 bytes, with one to four
// sections [Signature0] ... [Signature3], each:
//
//   Algorithm=ECDSA-P256-SHA256
//   KeyId=<16 lowercase hex digits: the first 8 bytes of SHA-256 over the
//          key's 64-byte point X||Y>
//   Value=<128 hex digits, either case: r||s, each 32 bytes big-endian, over
//          SHA-256 of the manifest file's bytes exactly as downloaded>
//
// Several sections let a publisher sign with an old and a new key while
// clients move over. The manifest is accepted when some section names a
// built-in key, has that algorithm and a well-formed value, and the value
// verifies with that key; sections that do not qualify are passed over, so a
// section for a key or algorithm this build does not know harms nothing.
//
// Parsing and selection need no Windows call. The verification of r||s is the
// caller's (CNG in the product, see updater/transfer/cng.h).

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "updater/base/manifest_keys.h"

namespace manifest_signature {

constexpr std::size_t kMaxFileBytes = 4096;
constexpr int kMaxSections = 4;
constexpr char kAlgorithm[] = "ECDSA-P256-SHA256";
constexpr char kFileSuffix[] = ".sig";

using SignatureValue = std::array<unsigned char, 64>;  // r||s

// Whether the manifest is accepted: verify(key, r||s) is asked for each
// qualifying section in section order until one says yes. Nothing qualifies
// in a text longer than kMaxFileBytes.
using Verifier = std::function<bool(const ManifestKey& key, const SignatureValue& value)>;
bool AnySectionVerifies(const std::string& text, const std::vector<ManifestKey>& keys,
                        const Verifier& verify);

}  // namespace manifest_signature
