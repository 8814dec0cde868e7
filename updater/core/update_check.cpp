// The update check: from the stored manifest to the installation pipeline,
// and the reading of a file's version resource.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "updater/base/file_list_rules.h"
#include "updater/base/manifest.h"
#include "updater/base/manifest_file_reader.h"
#include "updater/base/run_log.h"
#include "updater/core/install_paths.h"
#include "updater/core/kept_reports.h"
#include "updater/core/partial_cache_folder.h"
#include "updater/core/update_job.h"

namespace {

// The client's download centre may hold files that are about to be replaced.
// It is asked to quit once a second for as long as it is there; a cancel ends
// the asking. False when the run was cancelled.
bool CloseDownloadCentre(const UpdateJob& job) {
  static const char kTitle[] = "Mirelo-下载中心";
  while (HWND centre = FindWindowA(nullptr, kTitle)) {
    PostMessageA(centre, WM_QUIT, 0, 0);
    if (job.WaitForCancel(1000)) return false;
  }
  return !job.Cancelled();
}

}  // namespace

bool UpdateJob::CheckAndInstall() {
  // However the check ends, the manifest is no longer held once it is read.
  struct Release {
    UpdateJob& job;
    ~Release() { job.ReleaseManifest(); }
  } release{*this};
  // Written at every way out, with as much as the check learned.
  run_log::Event check("update_check");
  check.Add("installed", installedVersion);
  if (!manifest::ReadRootHeader(Manifest(), *this)) return check.Failed("no [Root] header");
  // Only a manifest that got this far verified, when keys are built in.
  KeepReportUrl(exeFolder, Manifest());
  check.Add("latest", latestVersion);

  bool multiStep = false;
  bool releaseSelected = false;
  if (!ReadVersionIndex(multiStep, releaseSelected)) return check.Failed("no release list");
  check.Add("releases", versionCount).Add("installed_listed", releaseSelected);
  if (releaseSelected && !(multiStep ? ReadVersionRange() : ReadSingleVersion())) {
    if (const auto clash = manifest::FindAsideNameClash(*this)) {
      return check.Add("file", clash->first)
          .Add("aside", clash->second)
          .Failed("a file and its aside name listed");
    }
    return check.Failed("release section unreadable");
  }
  ReleaseManifest();
  check.Add("files", FileUrlMap.size());
  // Whatever ends the run from here, the cache keeps only what this table can
  // continue.
  const std::vector<std::string> continuable = ContinuableKeys(*this);
  PruneKeptDownloads(exeFolder + install_paths::kPartialFolderName, &continuable);
  if (FileUrlMap.empty()) return check.Failed("no files to update");

  // A FilePath that would reach outside the client folder fails the run here,
  // before the client's download centre or any file is touched. The list is
  // shown first, so that the failure is told as one of an update to do.
  if (!install_paths::InstallTableIsContained(*this)) {
    check.Failed("a file path leaves the client folder or is too long");
    if (owner()) owner()->FillFileList(FileUrlMap);
    return false;
  }
  // The journal of a longer install would outgrow what a later start reads.
  if (FileUrlMap.size() > file_list_rules::kMaxInstallFiles) return check.Failed("too many files");
  // A signed manifest vouches for its files only through their SHA-256.
  if (!manifestKeys.empty() && !manifest::EveryFileHasSha256(*this))
    return check.Failed("a file has no SHA-256");

  if (!CloseDownloadCentre(*this)) return check.Failed("cancelled");
  check.Write();
  if (owner()) owner()->FillFileList(FileUrlMap);
  if (InstallFiles()) return true;
  RestoreBackups();
  return false;
}

bool ReadFileVersion(const std::string& path, FileVersion& version) {
  for (BYTE& part : version.parts) part = 0;

  char modulePath[512] = {};
  std::string file = path;
  if (file.empty()) {
    DWORD length = GetModuleFileNameA(nullptr, modulePath, sizeof(modulePath));
    if (length == 0 || length >= sizeof(modulePath)) return false;
    file = modulePath;
  }

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<BYTE> block(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoLength = 0;
  if (GetFileVersionInfoA(file.c_str(), 0, size, block.data()) &&
      VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &infoLength) && info &&
      infoLength >= sizeof(VS_FIXEDFILEINFO)) {
    // Each part keeps only its low 8 bits.
    version.parts[0] = static_cast<BYTE>(HIWORD(info->dwFileVersionMS) & 0xFF);
    version.parts[1] = static_cast<BYTE>(LOWORD(info->dwFileVersionMS) & 0xFF);
    version.parts[2] = static_cast<BYTE>(HIWORD(info->dwFileVersionLS) & 0xFF);
    version.parts[3] = static_cast<BYTE>(LOWORD(info->dwFileVersionLS) & 0xFF);
  }

  char text[32];
  std::snprintf(text, sizeof(text), "%i.%i.%i.%i", version.parts[0], version.parts[1], version.parts[2],
                version.parts[3]);
  version.text = text;
  version.packed = static_cast<DWORD>(version.parts[0]) << 24 | static_cast<DWORD>(version.parts[1]) << 16 |
                   static_cast<DWORD>(version.parts[2]) << 8 | version.parts[3];
  return true;
}
