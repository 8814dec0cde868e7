// Arbitrary bytes as a manifest and as its signature file: the in-memory INI
// reader, the manifest readers and the signature's section selection must not
// crash, hang or grow memory with the counts they read, and what they put into
// the tables must obey the read limits.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "updater/base/ini_text_reader.h"
#include "updater/base/manifest.h"
#include "updater/base/manifest_signature.h"
#include "updater/base/text_rules.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckTable(const FileTable& table, std::size_t valueLimit) {
  for (const auto& [path, value] : table) {
    Require(!path.empty() && path.size() <= manifest::kFilePathLimit);
    Require(!value.empty() && value.size() <= valueLimit);
  }
}

// The reads of CheckAndInstall, with the installed release taken as given.
void RunReaders(const ProfileReader& reader, int32_t installedVersion) {
  UpdatePlan update;
  if (!manifest::ReadRootHeader(reader, update)) return;
  const manifest::ReleaseIndex index = manifest::ReadVersionIndex(reader, installedVersion, update);
  if (index == manifest::ReleaseIndex::kUnreadable) return;
  if (!manifest::IsSelected(index)) {
    Require(update.FileUrlMap.empty());
    return;
  }
  Require(update.installedIndex >= 0 && update.installedIndex < update.versionCount);
  if (index == manifest::ReleaseIndex::kSeveralSteps) {
    manifest::ReadVersionRange(reader, update);
  } else {
    manifest::ReadSingleVersion(reader, update);
  }
  CheckTable(update.FileUrlMap, manifest::kFileUrlLimit);
  CheckTable(update.FileHashMap, manifest::kFileUrlLimit);
  CheckTable(update.FileSha256Map, manifest::kFileUrlLimit);
  // A digest is only kept for a file whose URL was read.
  for (const auto& entry : update.FileHashMap) Require(update.FileUrlMap.Contains(entry.first));
  for (const auto& entry : update.FileSha256Map) Require(update.FileUrlMap.Contains(entry.first));
  manifest::EveryFileHasSha256(update);
}

// The same bytes as a signature file: every section asked about names one of
// the keys and never more than four are asked about.
void RunSignature(const std::string& text) {
  std::vector<ManifestKey> keys(2);
  keys[0].id = {0x51, 0x87, 0xcc, 0xe8, 0x98, 0xe7, 0x96, 0x0c};
  keys[1].id = {0, 0, 0, 0, 0, 0, 0, 0};
  int asked = 0;
  manifest_signature::AnySectionVerifies(text, keys, [&](const ManifestKey& key, const auto&) {
    Require(&key == &keys[0] || &key == &keys[1]);
    ++asked;
    return false;
  });
  Require(asked <= manifest_signature::kMaxSections);
  Require(asked == 0 || text.size() <= manifest_signature::kMaxFileBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  RunSignature(text);
  const IniTextReader reader(text);

  for (std::size_t limit : {std::size_t{0}, std::size_t{1}, std::size_t{31}}) {
    const std::string value = reader.Read("Root", "ver0", limit);
    Require(value.size() <= limit);
    Require(value.find('\0') == std::string::npos);
  }

  // Each of the first release-list entries as the installed release, and one
  // that is listed nowhere, so every reader gets its turn.
  RunReaders(reader, 0);
  for (int i = 0; i < 4; ++i) {
    const std::string entry = reader.Read("Root", "ver" + std::to_string(i), 31);
    if (!entry.empty()) RunReaders(reader, AtoiText(entry));
  }
  return 0;
}
