#include "updater/core/update_check.h"

#include <windows.h>

#include <string>
#include <vector>

#include "updater/base/file_list_rules.h"
#include "updater/base/manifest.h"
#include "updater/base/run_log.h"
#include "updater/core/install_paths.h"
#include "updater/core/job_patches.h"
#include "updater/core/kept_reports.h"
#include "updater/core/partial_cache_folder.h"

namespace {

// The client's download centre may hold files that are about to be replaced.
// It is asked to quit once a second for as long as it is there; a cancel ends
// the asking. False when the run was cancelled.
bool CloseDownloadCentre(const RunDownloads& run) {
  static const char kTitle[] = "Mirelo-下载中心";
  while (HWND centre = FindWindowA(nullptr, kTitle)) {
    PostMessageA(centre, WM_QUIT, 0, 0);
    if (run.WaitForCancel(1000)) return false;
  }
  return !run.Cancelled();
}

UpdateCheck Refused(run_log::Event& check, UpdateCheck outcome, const char* why) {
  check.Failed(why);
  return outcome;
}

// The manifest's readers, in their order.
UpdateCheck ReadFileTable(const ProfileReader& manifest, const std::string& exeFolder,
                          int32_t installedVersion, UpdatePlan& plan, run_log::Event& check) {
  if (!manifest::ReadRootHeader(manifest, plan))
    return Refused(check, UpdateCheck::kNoRootHeader, "no [Root] header");
  // Only a manifest that got this far verified, when keys are built in.
  KeepReportUrl(exeFolder, manifest);
  check.Add("latest", plan.latestVersion);
  const manifest::ReleaseIndex index = manifest::ReadVersionIndex(manifest, installedVersion, plan);
  if (index == manifest::ReleaseIndex::kUnreadable)
    return Refused(check, UpdateCheck::kNoReleaseList, "no release list");
  check.Add("releases", plan.versionCount).Add("installed_listed", manifest::IsSelected(index));
  const bool read = index == manifest::ReleaseIndex::kSeveralSteps
                        ? manifest::ReadVersionRange(manifest, plan)
                    : index == manifest::ReleaseIndex::kOneStep ? manifest::ReadSingleVersion(manifest, plan)
                                                                : true;
  if (read) return UpdateCheck::kReady;
  if (const auto clash = manifest::FindAsideNameClash(plan)) {
    check.Add("file", clash->first).Add("aside", clash->second);
    return Refused(check, UpdateCheck::kAsideNameClash, "a file and its aside name listed");
  }
  return Refused(check, UpdateCheck::kReleaseUnreadable, "release section unreadable");
}

// Whether the install may start on plan; the list is shown first when its
// paths are refused, so that the failure is told as one of an update to do.
UpdateCheck RefuseUnsafePlan(const RunPaths& paths, const UpdatePlan& plan, bool signedManifest,
                             const RunDownloads& run, run_log::Event& check) {
  if (plan.FileUrlMap.empty()) return Refused(check, UpdateCheck::kNoFiles, "no files to update");
  // A FilePath that would reach outside the client folder fails the run here,
  // before the client's download centre or any file is touched.
  if (!install_paths::InstallTableIsContained(paths, plan)) {
    check.Failed("a file path leaves the client folder or is too long");
    if (run.observer()) run.observer()->FillFileList(plan.FileUrlMap);
    return UpdateCheck::kPathOutside;
  }
  // The journal of a longer install would outgrow what a later start reads.
  if (plan.FileUrlMap.size() > file_list_rules::kMaxInstallFiles)
    return Refused(check, UpdateCheck::kTooManyFiles, "too many files");
  // A signed manifest vouches for its files only through their SHA-256.
  if (signedManifest && !manifest::EveryFileHasSha256(plan))
    return Refused(check, UpdateCheck::kNoSha256, "a file has no SHA-256");
  return UpdateCheck::kReady;
}

}  // namespace

CheckedUpdate CheckForUpdate(std::unique_ptr<ManifestFileReader> manifest, const RunPaths& paths,
                             const ClientSettings& settings, const std::vector<ManifestKey>& keys,
                             const RunDownloads& run) {
  // Written at every way out, with as much as the check learned.
  run_log::Event check("update_check");
  check.Add("installed", settings.installedVersion);
  CheckedUpdate checked;
  checked.outcome = ReadFileTable(*manifest, paths.exeFolder, settings.installedVersion, checked.plan, check);
  // However the check ends, the manifest is no longer held once it is read.
  manifest.reset();
  if (checked.outcome != UpdateCheck::kReady) return checked;
  check.Add("files", checked.plan.FileUrlMap.size());
  // Whatever ends the run from here, the cache keeps only what this plan can
  // continue.
  KeepContinuableDownloads(paths, checked.plan);
  checked.outcome = RefuseUnsafePlan(paths, checked.plan, !keys.empty(), run, check);
  if (checked.outcome != UpdateCheck::kReady) return checked;

  if (!CloseDownloadCentre(run)) {
    checked.outcome = Refused(check, UpdateCheck::kCancelled, "cancelled");
    return checked;
  }
  check.Write();
  if (run.observer()) run.observer()->FillFileList(checked.plan.FileUrlMap);
  return checked;
}
