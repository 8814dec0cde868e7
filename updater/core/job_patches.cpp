#include "updater/core/job_patches.h"

#include <windows.h>

#include "updater/base/run_log.h"
#include "updater/core/install_paths.h"
#include "updater/core/install_restore.h"
#include "updater/core/update_job.h"
#include "updater/transfer/cng.h"
#include "updater/transfer/md5.h"
#include "updater/transfer/patch_file.h"

namespace {

// The patch whose base is the client's file, the smallest of them; null when
// none fits. The client's file is hashed only when some patch is offered.
const FilePatch* PatchForClientFile(const std::vector<FilePatch>& patches, const std::string& clientFile) {
  if (patches.empty() || !IsFile(clientFile)) return nullptr;
  const std::string baseSha256 = FileSha256Text(clientFile);
  const FilePatch* best = nullptr;
  for (const FilePatch& patch : patches) {
    if (HashMatches(baseSha256, patch.baseSha256) && (best == nullptr || patch.length < best->length)) {
      best = &patch;
    }
  }
  return best;
}

int64_t HeldFileSize(HANDLE file) {
  LARGE_INTEGER size;
  return GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}

}  // namespace

FetchPlan PatchPlanFor(const FetchPlan& plan, const FilePatch& patch) {
  FetchPlan patchPlan;
  patchPlan.filePath = plan.filePath;
  patchPlan.url = patch.url;
  patchPlan.tempFile = plan.tempFile;
  patchPlan.partialFolder = plan.partialFolder;
  patchPlan.sha256Expected = &patch.sha256;
  patchPlan.maxLength = static_cast<int64_t>(patch.length);
  return patchPlan;
}

bool FetchByPatch(DownloadClient& client, const FetchPlan& plan, DownloadProgress* progress,
                  FetchedFile& out) {
  // Nothing would vouch for what a patch makes without a digest of the file.
  if (plan.md5Expected == nullptr && plan.sha256Expected == nullptr) return false;
  const std::string patched = plan.tempFile + install_paths::kPatchOutputSuffix;
  if (patched.size() > kMaxPathChars || !CreateFolderPath(install_paths::ParentPath(plan.tempFile)))
    return false;
  if (plan.patches->empty()) return false;
  const FilePatch* patch = PatchForClientFile(*plan.patches, plan.clientFile);
  // Written however the patch ends; a failure falls back to the whole file.
  run_log::Event entry("patch");
  entry.Add("path", plan.filePath).Add("offered", plan.patches->size()).Timed();
  if (patch == nullptr) return entry.Failed("no patch from the client's copy");
  entry.Add("url", patch->url).Add("bytes", patch->length);
  if (patch->length > static_cast<uint64_t>(kInstallFileMaxBytes)) return entry.Failed("too long");

  // The patch reports through the file's own row, so that the row shows the
  // bytes really fetched.
  const FetchPlan patchPlan = PatchPlanFor(plan, *patch);
  FetchedFile fetchedPatch;
  if (!FetchUpdateFile(client, patchPlan, progress, fetchedPatch)) return entry.Failed("download");
  if (HeldFileSize(fetchedPatch.download.file.get()) != static_cast<int64_t>(patch->length) ||
      !HashMatches(fetchedPatch.sha256Text, patch->sha256)) {
    DropFetchedFile(fetchedPatch);
    return entry.Failed("patch digest");
  }

  // The result is held from its creation like a download, and its digests
  // are those of the bytes written.
  out.download.path = patched;
  out.download.file.reset(CreateFileA(patched.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DigestSink digests(plan.sha256Expected != nullptr);
  const bool applied =
      out.download.file &&
      ApplyPatchFile(plan.clientFile, fetchedPatch.download.file.get(), out.download.file.get(),
                     [&](const unsigned char* data, std::size_t size) {
                       digests.Add(reinterpret_cast<const char*>(data), size);
                     });
  // The patch has served, whatever the outcome: a patch that does not apply
  // is never continued either.
  DropFetchedFile(fetchedPatch);
  if (!applied) {
    DropFetchedFile(out);
    return entry.Failed("does not apply");
  }
  entry.Add("applied", true);
  out.md5Text = digests.Md5Text();
  out.sha256Text = digests.Sha256Text();
  out.patched = true;
  out.ok = true;
  return true;
}
