// Arbitrary bytes as a manifest: the in-memory INI reader and the manifest
// readers must not crash, hang or grow memory with the counts they read, and
// what they put into the tables must obey the read limits.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "updater/base/ini_text_reader.h"
#include "updater/base/manifest.h"
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
  UpdateJobState state;
  state.installedVersion = installedVersion;
  if (!manifest::ReadRootHeader(reader, state)) return;
  bool multiStep = false, selected = false;
  if (!manifest::ReadVersionIndex(reader, state, multiStep, selected)) return;
  if (!selected) {
    Require(state.FileUrlMap.empty());
    return;
  }
  Require(state.installedIndex >= 0 && state.installedIndex < state.versionCount);
  if (multiStep) {
    manifest::ReadVersionRange(reader, state);
  } else {
    manifest::ReadSingleVersion(reader, state);
  }
  CheckTable(state.FileUrlMap, manifest::kFileUrlLimit);
  CheckTable(state.FileHashMap, manifest::kFileUrlLimit);
  // A digest is only kept for a file whose URL was read.
  for (const auto& entry : state.FileHashMap) Require(state.FileUrlMap.Contains(entry.first));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const IniTextReader reader(std::string(reinterpret_cast<const char*>(data), size));

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
