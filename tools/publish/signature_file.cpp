#include "tools/publish/signature_file.h"

#include <algorithm>

#include "updater/base/ini_text_reader.h"

namespace publish {
namespace {

// Longer than any well-formed value, so a value with extra text is seen whole.
constexpr std::size_t kReadLimit = 1023;

std::string SectionName(int index) { return "Signature" + std::to_string(index); }

}  // namespace

bool ParseSignatureFile(const std::string& text, std::vector<SignatureEntry>& entries, std::string& error) {
  entries.clear();
  if (text.size() > kMaxSignatureFileBytes) {
    error = "signature file is " + std::to_string(text.size()) + " bytes; at most " +
            std::to_string(kMaxSignatureFileBytes) + " are allowed";
    return false;
  }
  const IniTextReader reader(text);
  for (int i = 0; i < kMaxSignatureSections; ++i) {
    const std::string section = SectionName(i);
    SignatureEntry entry{reader.Read(section, "Algorithm", kReadLimit),
                         reader.Read(section, "KeyId", kReadLimit),
                         reader.Read(section, "Value", kReadLimit)};
    if (entry.algorithm.empty() && entry.keyId.empty() && entry.value.empty()) continue;
    if (entry.algorithm.empty() || entry.keyId.empty() || entry.value.empty()) {
      error = "[" + section + "] lacks Algorithm, KeyId or Value";
      return false;
    }
    entries.push_back(entry);
  }
  if (entries.empty()) {
    error = "no [Signature0] ... [Signature3] section";
    return false;
  }
  return true;
}

std::string FormatSignatureFile(const std::vector<SignatureEntry>& entries) {
  std::string text;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i != 0) text += "\r\n";
    text += "[" + SectionName(static_cast<int>(i)) + "]\r\n";
    text += "Algorithm=" + entries[i].algorithm + "\r\n";
    text += "KeyId=" + entries[i].keyId + "\r\n";
    text += "Value=" + entries[i].value + "\r\n";
  }
  return text;
}

SignatureEntry SignManifest(EVP_PKEY* privateKey, const std::string& manifest) {
  const Bytes value = SignMessage(privateKey, manifest);
  return SignatureEntry{kSignatureAlgorithm, KeyId(privateKey),
                        value.empty() ? std::string() : HexText(value)};
}

ManifestKey ToManifestKey(EVP_PKEY* publicKey) {
  ManifestKey key{};
  const Bytes point = PublicPoint(publicKey);
  if (point.size() == key.xy.size()) std::copy(point.begin(), point.end(), key.xy.begin());
  const Bytes digest = Sha256(std::string(point.begin(), point.end()));
  std::copy(digest.begin(), digest.begin() + key.id.size(), key.id.begin());
  return key;
}

bool UpdaterAccepts(const std::string& signatureText, const std::vector<EVP_PKEY*>& publicKeys,
                    const std::string& manifest, int* keyIndex) {
  std::vector<ManifestKey> keys;
  for (EVP_PKEY* key : publicKeys) keys.push_back(ToManifestKey(key));
  return manifest_signature::AnySectionVerifies(
      signatureText, keys, [&](const ManifestKey& key, const manifest_signature::SignatureValue& value) {
        const std::size_t index = static_cast<std::size_t>(&key - keys.data());
        if (!VerifyMessage(publicKeys[index], manifest, Bytes(value.begin(), value.end()))) return false;
        if (keyIndex) *keyIndex = static_cast<int>(index);
        return true;
      });
}

}  // namespace publish
