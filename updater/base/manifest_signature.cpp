#include "updater/base/manifest_signature.h"

#include "updater/base/hex_text.h"
#include "updater/base/ini_text_reader.h"

namespace manifest_signature {
namespace {

// Read limits above the exact lengths, so that an over-long value is seen
// whole and refused rather than cut to a length that would pass.
constexpr std::size_t kAlgorithmLimit = 63;
constexpr std::size_t kKeyIdLimit = 63;
constexpr std::size_t kValueLimit = 255;

const ManifestKey* FindKey(const std::vector<ManifestKey>& keys, const std::array<unsigned char, 8>& id) {
  for (const ManifestKey& key : keys) {
    if (key.id == id) return &key;
  }
  return nullptr;
}

// One section that names a built-in key, ready to be verified.
struct Candidate {
  const ManifestKey* key;
  SignatureValue value;
};

std::vector<Candidate> SelectCandidates(const std::string& text, const std::vector<ManifestKey>& keys) {
  std::vector<Candidate> candidates;
  if (text.size() > kMaxFileBytes) return candidates;
  const IniTextReader reader(text);
  for (int i = 0; i < kMaxSections; ++i) {
    const std::string section = "Signature" + std::to_string(i);
    if (reader.Read(section, "Algorithm", kAlgorithmLimit) != kAlgorithm) continue;
    std::array<unsigned char, 8> id;
    if (!DecodeHex(reader.Read(section, "KeyId", kKeyIdLimit), HexLetters::LowerOnly, id.data(), id.size())) {
      continue;
    }
    const ManifestKey* key = FindKey(keys, id);
    if (key == nullptr) continue;
    Candidate candidate{key, {}};
    if (!DecodeHex(reader.Read(section, "Value", kValueLimit), HexLetters::AnyCase, candidate.value.data(),
                   candidate.value.size())) {
      continue;
    }
    candidates.push_back(candidate);
  }
  return candidates;
}

}  // namespace

bool AnySectionVerifies(const std::string& text, const std::vector<ManifestKey>& keys,
                        const Verifier& verify) {
  for (const Candidate& candidate : SelectCandidates(text, keys)) {
    if (verify(*candidate.key, candidate.value)) return true;
  }
  return false;
}

}  // namespace manifest_signature
