#include "updater/base/manifest_patches.h"

#include "updater/base/manifest.h"

namespace manifest {
namespace {

bool IsSha256Text(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// Plain decimal, at most 19 digits so that it fits; nothing else accepted.
bool ParseLength(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

}  // namespace

std::vector<FilePatch> ReadFilePatches(const ProfileReader& reader, const std::string& section,
                                       uint32_t fileIndex) {
  std::vector<FilePatch> patches;
  for (int j = 0; j < kMaxPatchesPerFile; ++j) {
    const std::string suffix = std::to_string(fileIndex) + "_" + std::to_string(j);
    FilePatch patch;
    patch.url = reader.Read(section, "FilePatchUrl" + suffix, kFileUrlLimit);
    if (patch.url.empty()) break;
    // One character over each limit, so that a longer value is seen and refused.
    patch.baseSha256 = reader.Read(section, "FilePatchBase" + suffix, kPatchDigestLimit + 1);
    patch.sha256 = reader.Read(section, "FilePatchSha256" + suffix, kPatchDigestLimit + 1);
    const std::string size = reader.Read(section, "FilePatchSize" + suffix, kPatchSizeLimit);
    if (IsSha256Text(patch.baseSha256) && IsSha256Text(patch.sha256) && ParseLength(size, patch.length)) {
      patches.push_back(std::move(patch));
    }
  }
  return patches;
}

}  // namespace manifest
