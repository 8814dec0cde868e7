#include "tools/publish/signature_file.h"

#include "updater/core/ini_text_reader.h"

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
    SignatureEntry entry{reader.Read(section, "Algorithm", kReadLimit), reader.Read(section, "KeyId", kReadLimit),
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
  return SignatureEntry{kSignatureAlgorithm, KeyId(privateKey), value.empty() ? std::string() : HexText(value)};
}

int VerifyingEntry(const std::vector<SignatureEntry>& entries, EVP_PKEY* publicKey, const std::string& manifest) {
  const std::string keyId = KeyId(publicKey);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const SignatureEntry& entry = entries[i];
    if (entry.algorithm != kSignatureAlgorithm || entry.keyId != keyId || entry.value.size() != 128) continue;
    const auto value = ParseHex(entry.value);
    if (value && VerifyMessage(publicKey, manifest, *value)) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace publish
