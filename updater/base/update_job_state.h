#pragma once
// The plain data of one update attempt: paths, versions, the manifest URL and
// download page, and the three tables. It needs no Windows call, so the rules
// that fill it (settings, manifest readers, path checks) build and run natively.

#include <cstdint>
#include <string>
#include <vector>

#include "updater/base/file_patches.h"
#include "updater/base/file_table.h"
#include "updater/base/manifest_keys.h"

struct UpdateJobState {
  std::string exeFolder;       // the updater's folder, with a trailing backslash
  std::string historyPath;     // exeFolder + "HistoryVersionList.cfg"
  std::string backupFolder;    // exeFolder + "TempBackUpFolder", no trailing backslash
  std::string tempFolder;      // exeFolder + "UpdateTempFolder", no trailing backslash
  std::string downloadUrl;     // the manual-download page
  FileTable BackupMap;         // destination path -> backup copy
  FileTable FileUrlMap;        // FilePath -> download URL
  FileTable FileHashMap;       // FilePath -> digest text
  FileTable FileSha256Map;     // FilePath -> SHA-256 text
  FileTable AsideMap;          // destination path -> its aside name, once this run moved it there
  std::string upgradeCfgPath;  // exeFolder + "Upgrade.cfg"
  int32_t installedVersion = 0;
  int32_t latestVersion = 0;
  int32_t versionCount = 0;
  int32_t installedIndex = 0;
  std::string configUrl;       // the manifest URL
  // The keys the manifest must be signed with; none: manifests are unsigned.
  std::vector<ManifestKey> manifestKeys;
  uint64_t acceptedSerial = 0;  // the signed manifest's Serial, once accepted
  // FilePath -> the patches offered for it.
  FilePatchTable FilePatchMap;
};

// Paths live in 260-character buffers: a path must stay within 259 characters.
constexpr std::size_t kMaxPathChars = 259;
