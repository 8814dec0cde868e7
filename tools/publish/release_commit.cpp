// Writing a planned release: its files under SERVED_DIR/<version>/, checked
// against the plan, then the manifest and its signature as one pair.

#include "tools/publish/release_builder.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "tools/publish/publish_crypto.h"
#include "tools/publish/publish_files.h"
#include "tools/publish/release_deltas.h"
#include "tools/publish/signed_pair.h"

namespace publish {
namespace {

namespace fs = std::filesystem;

// What the web server reads: not the source's mode nor the umask.
constexpr fs::perms kServedFileMode = static_cast<fs::perms>(0644);
constexpr fs::perms kServedFolderMode = static_cast<fs::perms>(0755);

// Copies file under served, noting in created (in the order to take them
// back) each folder and file this run made.
bool CopyServedFile(const fs::path& served, const ReleaseFile& file, std::vector<fs::path>& created,
                    std::string& error) {
  const fs::path target = served / file.relative;
  std::error_code ec;
  std::vector<fs::path> newFolders;
  for (fs::path folder = target.parent_path(); !folder.empty() && !fs::exists(folder, ec) && !ec;
       folder = folder.parent_path()) {
    newFolders.push_back(folder);
    created.insert(created.begin(), folder);
  }
  fs::create_directories(target.parent_path(), ec);
  if (!ec && !fs::exists(target, ec)) created.push_back(target);
  if (!ec) fs::copy_file(file.source, target, fs::copy_options::overwrite_existing, ec);
  for (const fs::path& folder : newFolders) {
    if (!ec) fs::permissions(folder, kServedFolderMode, ec);
  }
  if (!ec) fs::permissions(target, kServedFileMode, ec);
  if (ec) {
    error = target.string() + ": cannot copy: " + ec.message();
    return false;
  }
  // The manifest must describe the bytes served, even if the source changed meanwhile.
  const auto copied = DigestFile(target.string());
  if (!copied || copied->sha256 != file.digests.sha256) {
    error = file.source + " changed while the release was being made; nothing was added to the manifest";
    return false;
  }
  return true;
}

}  // namespace

bool CommitRelease(const ReleaseOptions& options, const ReleasePlan& plan, const std::string* signature,
                   std::string& error) {
  const fs::path served = fs::path(options.outDir) / options.version;
  std::vector<fs::path> created;
  // A failure part-way takes back the files this run added, so the served
  // folder is as it was.
  const auto takeBack = [&] {
    std::error_code ignored;
    for (auto it = created.rbegin(); it != created.rend(); ++it) fs::remove(*it, ignored);
    return false;
  };
  for (const ReleaseFile& file : plan.files) {
    if (!CopyServedFile(served, file, created, error) || !WritePatches(served.string(), file, created, error))
      return takeBack();
  }
  // The signature is made before anything is replaced; the pair is replaced
  // last, so that it verifies at every moment.
  PairChange change{options.manifestPath, plan.manifest, std::nullopt, std::nullopt};
  if (signature) change.signature = *signature;
  std::error_code ec;
  if (fs::exists(options.manifestPath + ".sig", ec)) {
    change.oldSignature = ReadWholeFile(options.manifestPath + ".sig");
    if (!change.oldSignature) {
      error = options.manifestPath + ".sig: cannot read";
      return takeBack();
    }
  }
  bool manifestReplaced = false;
  if (ReplaceSignedPair(change, error, &manifestReplaced)) return true;
  return manifestReplaced ? false : takeBack();
}

}  // namespace publish
