#include "updater/core/job_patches.h"

#include <windows.h>

#include "updater/base/run_log.h"
#include "updater/core/install_paths.h"
#include "updater/core/partial_cache_folder.h"
#include "updater/core/placement.h"
#include "updater/core/work_folders.h"
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

const char* RefusalText(PatchFileStatus status) {
  switch (status) {
    case PatchFileStatus::kUnreadable:
      return "cannot read the base or the patch";
    case PatchFileStatus::kTargetTooLong:
      return "makes a file longer than allowed";
    case PatchFileStatus::kNotSmaller:
      return "not smaller than its file";
    case PatchFileStatus::kStopped:
      return "cancelled";
    default:
      return "does not apply";
  }
}

}  // namespace

std::vector<FilePlan> PlanFileFetches(const RunPaths& paths, const UpdatePlan& update) {
  const std::string partialFolder = paths.exeFolder + install_paths::kPartialFolderName;
  std::vector<FilePlan> plans;
  for (const auto& [filePath, url] : update.FileUrlMap) {
    FilePlan plan;
    plan.whole.filePath = filePath;
    plan.whole.url = url;
    plan.whole.tempFile = paths.tempFolder + filePath;
    plan.whole.partialFolder = partialFolder;
    plan.whole.md5Expected = update.FileHashMap.Find(filePath);
    plan.whole.sha256Expected = update.FileSha256Map.Find(filePath);
    const auto patches = update.FilePatchMap.find(filePath);
    if (patches != update.FilePatchMap.end()) {
      plan.clientFile = paths.exeFolder + filePath;
      plan.patches = &patches->second;
    }
    plans.push_back(std::move(plan));
  }
  return plans;
}

std::vector<FetchPlan> EveryFetchOf(const std::vector<FilePlan>& plans) {
  std::vector<FetchPlan> fetches;
  for (const FilePlan& plan : plans) {
    fetches.push_back(plan.whole);
    if (plan.patches == nullptr) continue;
    // A patch cut by a failed run is continued like any other download.
    for (const FilePatch& patch : *plan.patches) fetches.push_back(PatchPlanFor(plan.whole, patch));
  }
  return fetches;
}

void KeepContinuableDownloads(const RunPaths& paths, const UpdatePlan& update) {
  PruneKeptDownloads(paths.exeFolder + install_paths::kPartialFolderName, PruneScope::kTable,
                     EveryFetchOf(PlanFileFetches(paths, update)));
}

std::vector<FilePlan> PlanUpdateDownloads(const RunPaths& paths, const UpdatePlan& update) {
  KeepContinuableDownloads(paths, update);
  return PlanFileFetches(paths, update);
}

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

bool FetchPatchedOrWhole(DownloadClient& client, const FilePlan& plan, DownloadProgress* progress,
                         FetchedFile& out) {
  if (plan.patches != nullptr && FetchByPatch(client, plan, progress, out)) return true;
  out = FetchedFile();
  return FetchUpdateFile(client, plan.whole, progress, out);
}

namespace {

// Fetches the patch through the file's own row, so that the row shows the
// bytes really fetched, and checks its length and SHA-256.
bool FetchCheckedPatch(DownloadClient& client, const FetchPlan& plan, const FilePatch& patch,
                       DownloadProgress* progress, FetchedFile& fetchedPatch, run_log::Event& entry) {
  if (!FetchUpdateFile(client, PatchPlanFor(plan, patch), progress, fetchedPatch)) return entry.Failed("download");
  if (fetchedPatch.download.file.Size() != static_cast<int64_t>(patch.length) ||
      !HashMatches(fetchedPatch.sha256Text, patch.sha256)) {
    DropFetchedFile(fetchedPatch);
    return entry.Failed("patch digest");
  }
  if (client.cancelled()) {
    DropFetchedFile(fetchedPatch);
    return entry.Failed("cancelled");
  }
  return true;
}

// Applies the fetched patch to the client's file into out, held from its
// creation like a download, its digests those of the bytes written.
bool ApplyFetchedPatch(DownloadClient& client, const FilePlan& offer, FetchedFile& fetchedPatch,
                       FetchedFile& out, run_log::Event& entry) {
  const FetchPlan& plan = offer.whole;
  const std::string patched = plan.tempFile + install_paths::kPatchOutputSuffix;
  out.download.path = patched;
  out.download.file = HeldFile::Create(patched);
  DigestSink digests(plan.sha256Expected != nullptr);
  const PatchFileStatus status =
      out.download.file ? ApplyPatchFile(offer.clientFile, fetchedPatch.download.file.get(),
                                         out.download.file.get(), static_cast<uint64_t>(plan.maxLength),
                                         [&](const unsigned char* data, std::size_t size) {
                                           digests.Add(reinterpret_cast<const char*>(data), size);
                                           return !client.cancelled();
                                         })
                        : PatchFileStatus::kUnreadable;
  // The patch has served, whatever the outcome: a patch that does not apply
  // is never continued either.
  DropFetchedFile(fetchedPatch);
  if (status != PatchFileStatus::kApplied) return entry.Failed(RefusalText(status));
  entry.Add("applied", true);
  out.md5Text = digests.Md5Text();
  out.sha256Text = digests.Sha256Text();
  // A patch that applies may still make other bytes than those listed (made
  // from another release, or wrongly): the whole file is fetched instead of
  // failing the update on every run.
  const bool md5Ok = plan.md5Expected == nullptr || HashMatches(out.md5Text, *plan.md5Expected);
  const bool sha256Ok = plan.sha256Expected == nullptr || HashMatches(out.sha256Text, *plan.sha256Expected);
  if (!md5Ok || !sha256Ok) return entry.Failed("patched file digest");
  return true;
}

}  // namespace

bool FetchByPatch(DownloadClient& client, const FilePlan& offer, DownloadProgress* progress,
                  FetchedFile& out) {
  const FetchPlan& plan = offer.whole;
  // Nothing would vouch for what a patch makes without a digest of the file.
  if (plan.md5Expected == nullptr && plan.sha256Expected == nullptr) return false;
  const std::string patched = plan.tempFile + install_paths::kPatchOutputSuffix;
  if (patched.size() > kMaxPathChars || !CreateFolderOf(plan.tempFile)) return false;
  if (offer.patches->empty() || client.cancelled()) return false;
  const FilePatch* patch = PatchForClientFile(*offer.patches, offer.clientFile);
  // Written however the patch ends; a failure falls back to the whole file.
  run_log::Event entry("patch");
  entry.Add("path", plan.filePath).Add("offered", offer.patches->size()).Timed();
  if (patch == nullptr) return entry.Failed("no patch from the client's copy");
  entry.Add("url", patch->url).Add("bytes", patch->length);
  if (patch->length > static_cast<uint64_t>(plan.maxLength)) return entry.Failed("too long");

  FetchedFile fetchedPatch;
  if (!FetchCheckedPatch(client, plan, *patch, progress, fetchedPatch, entry)) return false;
  if (!ApplyFetchedPatch(client, offer, fetchedPatch, out, entry)) {
    DropFetchedFile(out);
    out = FetchedFile();
    return false;
  }
  out.patched = true;
  out.ok = true;
  return true;
}
