#include "updater/core/update_job.h"

#include <exception>

#include "updater/base/module_path.h"
#include "updater/base/profile_file_reader.h"
#include "updater/base/run_log.h"
#include "updater/core/client_settings.h"
#include "updater/core/install.h"
#include "updater/core/install_paths.h"
#include "updater/core/manifest_fetch.h"
#include "updater/core/partial_cache_folder.h"
#include "updater/core/update_check.h"

UpdateJob::UpdateJob(std::vector<ManifestKey> manifestKeys) { state_.manifestKeys = std::move(manifestKeys); }

bool UpdateJob::Run(UpdateObserver* dialog) {
  if (dialog == nullptr) return false;
  SetOwner(dialog);
  // Nothing may leave the worker thread as an exception: a failure of the
  // platform or of memory is a failed run like any other.
  try {
    if (!InitPaths()) return false;
    // Before anything can fail: a cache that only failed runs ever see would
    // otherwise never shrink.
    PruneKeptDownloads(state_.exeFolder + install_paths::kPartialFolderName, PruneScope::kUnknownTable);
    if (!ReadClientSettings()) return false;
    if (!DownloadManifest(state_.configUrl)) return false;
    if (!CheckAndInstall()) return false;
  } catch (const std::exception& error) {
    run_log::Event("run_error").Add("what", error.what());
    return false;
  }
  RecordAcceptedSerial(Paths(), Trust());
  // A completed update consumes the order to update.
  DeleteFileA(state_.upgradeCfgPath.c_str());
  return true;
}

bool UpdateJob::RestoreBackups() {
  ReleaseManifest();
  const bool restored = RollBackUpdate(Paths(), Plan(), Record());
  ForgetPlan();
  DeleteStoredManifest(state_.historyPath);
  return restored;
}

bool UpdateJob::InitPaths() {
  std::string modulePath;
  if (!ReadModulePath(modulePath)) return false;
  // Refuses a folder too long for the paths of the run.
  if (!BuildRunPaths(modulePath, IsAnsiLeadByte, Paths()))
    return run_log::Event("run_paths").Failed("folder path too long");
  return FileFound(state_.upgradeCfgPath);
}

bool UpdateJob::ReadClientSettings() {
  ClientSettings& settings = state_;
  const bool read = ReadClientSection(ProfileFileReader(state_.upgradeCfgPath), settings);
  run_log::Event("settings")
      .Add("time", settings.installedVersion)
      .Add("download_url", settings.downloadUrl)
      .Add("config_url", settings.configUrl)
      .Add("ok", read);
  return read;
}

bool UpdateJob::DownloadManifest(const std::string& url) {
  if (url.empty()) return false;
  state_.historyPath = state_.exeFolder + install_paths::kHistoryFileName;
  ReleaseManifest();
  FetchedManifest fetched = FetchManifest(Downloads(), Paths(), Trust().manifestKeys, url);
  manifest_ = std::move(fetched.manifest);
  // Anything but a current pair, after the fetch past caches, ends the run.
  if (fetched.outcome != ManifestFetch::kFetched) return false;
  state_.acceptedSerial = fetched.acceptedSerial;
  return true;
}

bool UpdateJob::CheckAndInstall() {
  CheckedUpdate checked =
      CheckForUpdate(TakeManifest(), Paths(), Settings(), Trust().manifestKeys, Downloads());
  // The manifest's own page replaces the settings' as soon as it is read.
  if (!checked.plan.downloadPage.empty()) state_.downloadUrl = checked.plan.downloadPage;
  Plan() = std::move(checked.plan);
  if (checked.outcome != UpdateCheck::kReady) return false;
  if (InstallFiles()) return true;
  RestoreBackups();
  return false;
}

bool UpdateJob::InstallFiles() {
  if (!InstallUpdate(Paths(), Plan(), Record(), Downloads())) return false;
  ForgetPlan();
  ReleaseManifest();
  DeleteStoredManifest(state_.historyPath);
  return true;
}

const ManifestFileReader& UpdateJob::Manifest() {
  // Read on first use when the run did not download it (a stored manifest).
  if (!manifest_) manifest_ = std::make_unique<ManifestFileReader>(state_.historyPath);
  return *manifest_;
}

void UpdateJob::ForgetPlan() {
  UpdatePlan& plan = Plan();
  plan.FileUrlMap.clear();
  plan.FileHashMap.clear();
  plan.FileSha256Map.clear();
  plan.FilePatchMap.clear();
  Record() = InstallRecord();
}

std::unique_ptr<ManifestFileReader> UpdateJob::TakeManifest() {
  Manifest();
  return std::move(manifest_);
}

bool UpdateJob::DownloadFile(const std::string& localPath, const std::string& url, int64_t maxLength,
                             Bz2Target rule) {
  return Downloads().DownloadFile(localPath, url, maxLength, rule);
}

bool UpdateJob::DownloadOnce(const std::string& localPath, const std::string& url) {
  return Downloads().DownloadOnce(localPath, url);
}
