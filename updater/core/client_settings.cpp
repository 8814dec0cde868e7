#include "updater/core/client_settings.h"

#include "updater/core/install_paths.h"
#include "updater/base/text_rules.h"

namespace {

const char kSection[] = "Client";

}  // namespace

bool ReadClientSection(const ProfileReader& settings, UpdateJobState& state) {
  const std::string time = settings.Read(kSection, "Time", kTimeChars);
  if (time.empty()) return false;
  state.installedVersion = AtoiText(time);
  // Read even when the manifest will name its own page later.
  state.downloadUrl = settings.Read(kSection, "DownloadUrl", kDownloadUrlChars);
  state.configUrl = settings.Read(kSection, "ConfigUrl", kConfigUrlChars);
  return !state.configUrl.empty();
}

std::string FolderOfModulePath(const std::string& modulePath) {
  const std::size_t slash = FindLastSingleByte(modulePath, '\\');
  if (slash == std::string::npos) return std::string();
  return modulePath.substr(0, slash + 1);
}

std::string SettingsPathFor(const std::string& exeFolder) {
  std::string path = exeFolder + install_paths::kSettingsFileName;
  if (path.size() > kMaxPathChars) return std::string();
  return path;
}

bool BuildRunPaths(const std::string& modulePath, UpdateJobState& state) {
  const std::string folder = FolderOfModulePath(modulePath);
  if (folder.empty()) return false;
  // "HistoryVersionList.cfg" is the longest name put after the folder.
  if (folder.size() + sizeof(install_paths::kHistoryFileName) - 1 > kMaxPathChars) return false;
  state.exeFolder = folder;
  state.upgradeCfgPath = folder + install_paths::kSettingsFileName;
  state.historyPath = folder + install_paths::kHistoryFileName;
  state.backupFolder = folder + install_paths::kBackupFolderName;
  state.tempFolder = folder + install_paths::kTempFolderName;
  return true;
}
