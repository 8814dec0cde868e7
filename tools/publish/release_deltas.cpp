#include "tools/publish/release_deltas.h"

#include <filesystem>
#include <system_error>

#include "tools/publish/delta_encoder.h"
#include "tools/publish/publish_crypto.h"
#include "tools/publish/publish_files.h"
#include "tools/publish/release_builder.h"
#include "updater/base/manifest.h"
#include "updater/base/manifest_patches.h"

namespace publish {
namespace {

namespace fs = std::filesystem;

std::vector<unsigned char> AsBytes(const std::string& text) { return {text.begin(), text.end()}; }

// The earlier versions of relative that clients may have: from --from first,
// then each --delta-base, each content once and none equal to the new file.
std::vector<std::string> BaseContents(const ReleaseOptions& options, const ReleaseFile& file,
                                      const std::string& newSha256) {
  std::vector<std::string> dirs{options.fromDir};
  dirs.insert(dirs.end(), options.deltaBases.begin(), options.deltaBases.end());
  std::vector<std::string> contents;
  std::vector<std::string> seen{newSha256};
  for (const std::string& dir : dirs) {
    std::error_code ec;
    const fs::path path = fs::path(dir) / file.relative;
    if (!fs::is_regular_file(path, ec)) continue;
    const auto bytes = ReadWholeFile(path.string());
    if (!bytes) continue;
    const std::string sha256 = HexText(Sha256(*bytes));
    bool known = false;
    for (const std::string& s : seen) known = known || s == sha256;
    if (known) continue;
    seen.push_back(sha256);
    contents.push_back(*bytes);
  }
  return contents;
}

std::string WithSlash(std::string url) {
  if (url.empty() || url.back() != '/') url += '/';
  return url;
}

}  // namespace

void PlanPatches(const ReleaseOptions& options, std::vector<ReleaseFile>& files,
                 std::vector<std::string>& notes) {
  for (ReleaseFile& file : files) {
    const auto target = ReadWholeFile(file.source);
    if (!target) continue;
    for (const std::string& base : BaseContents(options, file, file.digests.sha256)) {
      if (file.patches.size() >= static_cast<std::size_t>(manifest::kMaxPatchesPerFile)) break;
      std::vector<unsigned char> bytes;
      const std::vector<unsigned char> baseBytes = AsBytes(base), targetBytes = AsBytes(*target);
      if (!delta::MakePatch(baseBytes, targetBytes, bytes) ||
          !delta::PatchMakesTarget(bytes, baseBytes, targetBytes)) {
        notes.push_back(file.relative + ": no patch could be made from one of its earlier versions");
        continue;
      }
      if (bytes.size() >= kPatchKeepRatio * static_cast<double>(target->size())) continue;
      ReleasePatch patch;
      patch.baseSha256 = HexText(Sha256(base));
      patch.relative = file.relative + ".from-" + patch.baseSha256.substr(0, 16) + ".tvdp";
      patch.url = WithSlash(options.baseUrl) + options.version + "/" + EncodeUrlPath(patch.relative);
      if (patch.url.size() > manifest::kFileUrlLimit) {
        notes.push_back(file.relative + ": its patch's URL would be too long for the updater; no patch");
        break;
      }
      patch.bytes.assign(bytes.begin(), bytes.end());
      patch.sha256 = HexText(Sha256(patch.bytes));
      file.patches.push_back(std::move(patch));
    }
  }
}

void AppendPatchKeys(std::size_t index, const ReleaseFile& file, ManifestText::Keys& keys) {
  for (std::size_t j = 0; j < file.patches.size(); ++j) {
    const ReleasePatch& patch = file.patches[j];
    const std::string n = std::to_string(index) + "_" + std::to_string(j);
    keys.emplace_back("FilePatchBase" + n, patch.baseSha256);
    keys.emplace_back("FilePatchUrl" + n, patch.url);
    keys.emplace_back("FilePatchSha256" + n, patch.sha256);
    keys.emplace_back("FilePatchSize" + n, std::to_string(patch.bytes.size()));
  }
}

bool WritePatches(const std::string& served, const ReleaseFile& file, std::string& error) {
  for (const ReleasePatch& patch : file.patches) {
    const fs::path target = fs::path(served) / patch.relative;
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (!WriteFileAtomically(target.string(), patch.bytes, error)) return false;
  }
  return true;
}

}  // namespace publish
