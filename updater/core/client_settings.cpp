#include "updater/core/client_settings.h"

#include "updater/core/install_paths.h"
#include "updater/base/text_rules.h"

namespace {

const char kSection[] = "Client";

}  // namespace

bool ReadClientSection(const ProfileReader& settings, ClientSettings& client) {
  const std::string time = settings.Read(kSection, "Time", kTimeChars);
  if (time.empty()) return false;
  client.installedVersion = AtoiText(time);
  // Read even when the manifest will name its own page later.
  client.downloadUrl = settings.Read(kSection, "DownloadUrl", kDownloadUrlChars);
  client.configUrl = settings.Read(kSection, "ConfigUrl", kConfigUrlChars);
  return !client.configUrl.empty();
}

std::string FolderOfModulePath(const std::string& modulePath, LeadByteRule isLeadByte) {
  const std::size_t slash = FindLastSingleByte(modulePath, '\\', isLeadByte);
  if (slash == std::string::npos) return std::string();
  return modulePath.substr(0, slash + 1);
}

std::string SettingsPathFor(const std::string& exeFolder) {
  std::string path = exeFolder + install_paths::kSettingsFileName;
  if (path.size() > kMaxPathChars) return std::string();
  return path;
}

bool BuildRunPaths(const std::string& modulePath, LeadByteRule isLeadByte, RunPaths& paths) {
  const std::string folder = FolderOfModulePath(modulePath, isLeadByte);
  if (folder.empty()) return false;
  // "HistoryVersionList.cfg" is the longest name put after the folder.
  if (folder.size() + sizeof(install_paths::kHistoryFileName) - 1 > kMaxPathChars) return false;
  paths.exeFolder = folder;
  paths.upgradeCfgPath = folder + install_paths::kSettingsFileName;
  paths.historyPath = folder + install_paths::kHistoryFileName;
  paths.backupFolder = folder + install_paths::kBackupFolderName;
  paths.tempFolder = folder + install_paths::kTempFolderName;
  return true;
}
