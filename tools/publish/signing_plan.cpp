#include "tools/publish/signing_plan.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "tools/publish/manifest_text.h"
#include "tools/publish/publish_files.h"
#include "updater/base/ini_text_reader.h"
#include "updater/base/manifest_freshness.h"

namespace publish {
namespace {

const char kRoot[] = "Root";
constexpr int64_t kDay = 86400;
constexpr int64_t kMinValidFor = kDay;
constexpr int64_t kMaxValidFor = 730 * kDay;
constexpr uint64_t kMaxSerial = 9999999999999999999ull;  // the 19 digits clients read

bool Given(const std::vector<SigningKey>& keys, const std::string& id) {
  return std::any_of(keys.begin(), keys.end(), [&](const SigningKey& key) { return key.id == id; });
}

}  // namespace

bool ReadPassphrase(const std::string& source, std::string& passphrase, std::string& error) {
  if (source.rfind("env:", 0) == 0) {
    const char* value = std::getenv(source.substr(4).c_str());
    if (!value) {
      error = "--pass " + source + ": the environment variable is not set";
      return false;
    }
    passphrase = value;
    return true;
  }
  if (source.rfind("file:", 0) == 0) {
    const auto text = ReadWholeFile(source.substr(5));
    if (!text) {
      error = "--pass " + source + ": cannot read the file";
      return false;
    }
    passphrase = text->substr(0, text->find_first_of("\r\n"));
    return true;
  }
  error = "--pass \"" + source + "\": give env:VAR or file:PATH";
  return false;
}

bool LoadSigningKeys(const std::vector<std::string>& paths, const std::string* passphrase,
                     std::vector<SigningKey>& keys, std::string& error) {
  for (const std::string& path : paths) {
    SigningKey key{path, LoadPrivateKey(path, error, passphrase), {}};
    if (!key.key) return false;
    key.id = KeyId(key.key.get());
    if (Given(keys, key.id)) {
      error = path + ": key " + key.id + " is given twice";
      return false;
    }
    keys.push_back(std::move(key));
  }
  if (keys.size() > static_cast<std::size_t>(kMaxSignatureSections)) {
    error =
        "at most " + std::to_string(kMaxSignatureSections) + " keys: the updater reads no more signatures";
    return false;
  }
  return true;
}

bool ParseDuration(const std::string& text, int64_t& seconds) {
  if (text.size() < 2 || text.size() > 8) return false;
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || text.size() - digits != 1) return false;
  const int64_t count = std::stoll(text.substr(0, digits));
  const char unit = text[digits];
  const int64_t scale = unit == 'h' ? 3600 : unit == 'd' ? kDay : unit == 'w' ? 7 * kDay : 0;
  seconds = count * scale;
  return seconds > 0;
}

std::string ExpiresProblem(const std::string& text, bool force) {
  int64_t seconds = 0;
  if (!ParseDuration(text, seconds)) {
    return "--expires \"" + text + "\": give a number of hours, days or weeks, such as 90d, 36h or 2w";
  }
  if (force) return "";
  if (seconds < kMinValidFor) {
    return "--expires " + text + " is under a day: clients may find it expired before they fetch it (--force if meant)";
  }
  if (seconds > kMaxValidFor) {
    return "--expires " + text + " is over two years: a stolen old manifest stays valid that long (--force if meant)";
  }
  return "";
}

ManifestStamp ReadManifestStamp(const std::string& manifest) {
  const IniTextReader reader(manifest);
  constexpr std::size_t kWhole = std::numeric_limits<std::size_t>::max();
  return ManifestStamp{reader.Read(kRoot, manifest_freshness::kExpiresKey, kWhole),
                       reader.Read(kRoot, manifest_freshness::kSerialKey, kWhole)};
}

std::optional<std::string> StampManifest(const std::string& manifest, int64_t now, int64_t validFor,
                                         const std::string& firstSerial, std::string& error) {
  const std::string written = ReadManifestStamp(manifest).serial;
  uint64_t serial = 0;
  const bool readable = written.empty() || manifest_freshness::ParseSerial(written, serial);
  if (!readable && firstSerial.empty()) {
    error = "[Root] Serial=" + written + " cannot be read, so the next one is unknown: set it with --serial N, " +
            "above the Serial clients last read";
    return std::nullopt;
  }
  uint64_t next = serial + 1;
  if (!firstSerial.empty()) {
    uint64_t given = 0;
    if (!manifest_freshness::ParseSerial(firstSerial, given) || given == 0 || (!written.empty() && readable && given <= serial)) {
      error = "--serial " + firstSerial + ": give a decimal number" +
              (written.empty() || !readable ? std::string(" above 0") : " above the manifest's Serial " + written);
      return std::nullopt;
    }
    next = given;
  } else if (next > kMaxSerial) {
    error = "[Root] Serial=" + written + " cannot grow further";
    return std::nullopt;
  }
  ManifestText text(manifest);
  text.SetKey(kRoot, manifest_freshness::kExpiresKey, manifest_freshness::FormatExpires(now + validFor));
  text.SetKey(kRoot, manifest_freshness::kSerialKey, std::to_string(next));
  return text.Text();
}

bool CheckKeyChange(const std::string* existingSignature, const std::vector<SigningKey>& keys,
                    const std::vector<std::string>& dropIds, std::vector<std::string>& removed,
                    std::string& error) {
  if (!existingSignature) return true;
  std::vector<SignatureEntry> entries;
  if (!ParseSignatureFile(*existingSignature, entries, error)) {
    error = "the signature file to be replaced cannot be read (" + error +
            "), so its keys cannot be kept; move it away first";
    return false;
  }
  std::vector<std::string> lost;
  for (const SignatureEntry& entry : entries) {
    if (Given(keys, entry.keyId)) continue;
    if (std::find(dropIds.begin(), dropIds.end(), entry.keyId) != dropIds.end()) {
      removed.push_back(entry.keyId);
    } else {
      lost.push_back(entry.keyId);
    }
  }
  if (lost.empty()) return true;
  error = "the signature file holds a signature by key";
  for (const std::string& id : lost) error += " " + id;
  error +=
      ", which is not given: clients that have only that key would refuse every later update. "
      "Give its private key with --key too, or drop it on purpose with --drop-key " +
      lost.front();
  return false;
}

bool SignWithEach(const std::vector<SigningKey>& keys, const std::string& manifest,
                  std::vector<SignatureEntry>& entries, std::string& error) {
  for (const SigningKey& key : keys) {
    SignatureEntry entry = SignManifest(key.key.get(), manifest);
    entries.push_back(entry);
    if (entry.value.empty() || !UpdaterAccepts(FormatSignatureFile(entries), {key.key.get()}, manifest)) {
      error = key.path + ": signing failed";
      return false;
    }
  }
  return true;
}

}  // namespace publish
