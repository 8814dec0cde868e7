#include "updater/base/manifest.h"

#include <cstdint>
#include <string>
#include <vector>

#include "updater/base/file_list_rules.h"
#include "updater/base/hex_text.h"
#include "updater/base/manifest_patches.h"
#include "updater/base/text_rules.h"

namespace manifest {
namespace {

const char kRoot[] = "Root";

std::string IndexedKey(const char* stem, int64_t index) {
  return stem + std::to_string(index);
}

// The file list of one release section. The count is taken as unsigned, so a
// negative "FileCount" runs until the first absent FilePath<i>. Nothing is
// allocated per count: the loop stops at the first absent required key.
//
// FileTable keeps the order in which each FilePath was first set, so the
// dialog's rows and the order of installation follow the manifest; a later
// entry for a FilePath replaces its URL (and each digest, MD5 and SHA-256,
// when it has one) in place.
bool ReadFileList(const ProfileReader& reader, const std::string& section, UpdatePlan& plan) {
  const std::string countText = reader.Read(section, "FileCount", kFilePathLimit);
  if (countText.empty()) return false;
  const uint32_t count = static_cast<uint32_t>(AtoiText(countText));
  for (uint32_t i = 0; i < count; ++i) {
    const std::string path = reader.Read(section, IndexedKey("FilePath", i), kFilePathLimit);
    if (path.empty()) return false;
    const std::string url = reader.Read(section, IndexedKey("FileUrl", i), kFileUrlLimit);
    if (url.empty()) return false;
    const std::string digest = reader.Read(section, IndexedKey("FileHashID", i), kFileUrlLimit);
    if (!digest.empty()) plan.FileHashMap.Set(path, digest);
    const std::string sha256 = reader.Read(section, IndexedKey("FileSha256", i), kFileUrlLimit);
    if (!sha256.empty()) plan.FileSha256Map.Set(path, sha256);
    plan.FileUrlMap.Set(path, url);
    plan.FilePatchMap[path] = ReadFilePatches(reader, section, i);
  }
  return true;
}

// The merged list is malformed when it holds a FilePath and its aside name:
// installing both would put the old file over the new X.bak.
bool HasNoAsideNameClash(const UpdatePlan& plan) { return !FindAsideNameClash(plan); }

}  // namespace

std::optional<std::pair<std::string, std::string>> FindAsideNameClash(const UpdatePlan& plan) {
  std::vector<std::string> paths;
  paths.reserve(plan.FileUrlMap.size());
  for (const auto& entry : plan.FileUrlMap) paths.push_back(entry.first);
  return file_list_rules::FindAsideNameClash(paths);
}

bool ReadRootHeader(const ProfileReader& reader, UpdatePlan& plan) {
  plan.downloadPage = reader.Read(kRoot, "DownloadUrl", kRootUrlLimit);
  const std::string latest = reader.Read(kRoot, "CurrentVersionTime", kVersionLimit);
  if (latest.empty()) return false;
  plan.latestVersion = AtoiText(latest);
  return true;
}

ReleaseIndex ReadVersionIndex(const ProfileReader& reader, int32_t installedVersion, UpdatePlan& plan) {
  const std::string countText = reader.Read(kRoot, "VersionCount", kVersionLimit);
  if (countText.empty()) return ReleaseIndex::kUnreadable;
  plan.versionCount = AtoiText(countText);
  if (reader.Read(kRoot, "CurrentVersionNum", kVersionLimit).empty()) return ReleaseIndex::kUnreadable;

  const int32_t count = plan.versionCount;
  for (int32_t i = 0; i < count; ++i) {
    const std::string entry = reader.Read(kRoot, IndexedKey("ver", i), kVersionLimit);
    if (entry.empty()) return ReleaseIndex::kUnreadable;
    if (AtoiText(entry) != installedVersion) continue;
    plan.installedIndex = i;
    // The next entry must exist; 64-bit so that i + 1 cannot overflow.
    if (reader.Read(kRoot, IndexedKey("ver", int64_t{i} + 1), kVersionLimit).empty())
      return ReleaseIndex::kUnreadable;
    return int64_t{i} < int64_t{count} - 2 ? ReleaseIndex::kSeveralSteps : ReleaseIndex::kOneStep;
  }
  return ReleaseIndex::kNotListed;
}

bool ReadSingleVersion(const ProfileReader& reader, UpdatePlan& plan) {
  return ReadFileList(reader, std::to_string(plan.latestVersion), plan) && HasNoAsideNameClash(plan);
}

bool ReadVersionRange(const ProfileReader& reader, UpdatePlan& plan) {
  for (int64_t j = int64_t{plan.installedIndex} + 1; j < plan.versionCount; ++j) {
    // The entry's text, exactly as written, names the section.
    const std::string section = reader.Read(kRoot, IndexedKey("ver", j), kVersionLimit);
    if (section.empty()) return false;
    if (!ReadFileList(reader, section, plan)) return false;
  }
  return HasNoAsideNameClash(plan);
}

bool EveryFileHasSha256(const UpdatePlan& plan) {
  unsigned char digest[32];
  for (const auto& entry : plan.FileUrlMap) {
    const std::string* text = plan.FileSha256Map.Find(entry.first);
    if (text == nullptr || !DecodeHex(*text, HexLetters::AnyCase, digest, sizeof digest)) return false;
  }
  return true;
}

}  // namespace manifest
