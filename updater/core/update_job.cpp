#include "updater/core/update_job.h"

#include <exception>

#include "updater/core/client_settings.h"
#include "updater/core/install_paths.h"
#include "updater/core/partial_cache_folder.h"
#include "updater/core/manifest_freshness_check.h"
#include "updater/base/module_path.h"
#include "updater/base/run_log.h"
#include "updater/base/profile_file_reader.h"

bool UpdateJob::Run(UpdateObserver* dialog) {
  if (dialog == nullptr) return false;
  SetOwner(dialog);
  // Nothing may leave the worker thread as an exception: a failure of the
  // platform or of memory is a failed run like any other.
  try {
    if (!InitPaths()) return false;
    // Before anything can fail: a cache that only failed runs ever see would
    // otherwise never shrink.
    PruneKeptDownloads(exeFolder + install_paths::kPartialFolderName, nullptr);
    if (!ReadClientSettings()) return false;
    if (!CheckAndInstall()) return false;
  } catch (const std::exception& error) {
    run_log::Event("run_error").Add("what", error.what());
    return false;
  }
  RecordAcceptedSerial(*this);
  // A completed update consumes the order to update.
  DeleteFileA(upgradeCfgPath.c_str());
  return true;
}

bool UpdateJob::InitPaths() {
  std::string modulePath;
  if (!ReadModulePath(modulePath)) return false;
  // Refuses a folder too long for the paths of the run.
  if (!BuildRunPaths(modulePath, IsAnsiLeadByte, *this))
    return run_log::Event("run_paths").Failed("folder path too long");
  return FileFound(upgradeCfgPath);
}

bool UpdateJob::ReadClientSettings() {
  const bool read = ReadClientSection(ProfileFileReader(upgradeCfgPath), *this);
  run_log::Event("settings")
      .Add("time", installedVersion)
      .Add("download_url", downloadUrl)
      .Add("config_url", configUrl)
      .Add("ok", read);
  if (!read) return false;
  return DownloadManifest(configUrl);
}
