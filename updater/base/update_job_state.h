#pragma once
// The plain data of one update attempt, in the parts its steps pass along:
// where the run works (RunPaths), what the client asked for (ClientSettings),
// the update the check found (UpdatePlan), what the install changed
// (InstallRecord) and what the manifest must be signed with (ManifestTrust).
// Each step takes the parts it reads and returns or fills the part it makes.
// None of it needs a Windows call, so the rules that fill it (settings,
// manifest readers, path checks) build and run natively.

#include <cstdint>
#include <string>
#include <vector>

#include "updater/base/file_patches.h"
#include "updater/base/file_table.h"
#include "updater/base/manifest_keys.h"

// The client folder and the updater's own files and folders in it.
struct RunPaths {
  std::string exeFolder;       // the updater's folder, with a trailing backslash
  std::string historyPath;     // exeFolder + "HistoryVersionList.cfg"
  std::string backupFolder;    // exeFolder + "TempBackUpFolder", no trailing backslash
  std::string tempFolder;      // exeFolder + "UpdateTempFolder", no trailing backslash
  std::string upgradeCfgPath;  // exeFolder + "Upgrade.cfg"
};

// What Upgrade.cfg says. The manifest's own download page, once read,
// replaces the settings' downloadUrl.
struct ClientSettings {
  int32_t installedVersion = 0;
  std::string downloadUrl;  // the manual-download page
  std::string configUrl;    // the manifest URL
};

// The update the check read from the manifest: the releases it spans and the
// merged file tables, in manifest order.
struct UpdatePlan {
  std::string downloadPage;  // the manifest's DownloadUrl; empty when it names none
  int32_t latestVersion = 0;
  int32_t versionCount = 0;
  int32_t installedIndex = 0;
  FileTable FileUrlMap;         // FilePath -> download URL
  FileTable FileHashMap;        // FilePath -> digest text
  FileTable FileSha256Map;      // FilePath -> SHA-256 text
  FilePatchTable FilePatchMap;  // FilePath -> the patches offered for it
};

// What the install changed so far, for its undoing.
struct InstallRecord {
  FileTable BackupMap;  // destination path -> backup copy
  FileTable AsideMap;   // destination path -> its aside name, once this run moved it there
};

// The keys the manifest must be signed with (none: manifests are unsigned),
// and the signed manifest's Serial once accepted.
struct ManifestTrust {
  std::vector<ManifestKey> manifestKeys;
  uint64_t acceptedSerial = 0;
};

// The whole state of one run, as the job keeps it between its steps.
struct UpdateJobState : RunPaths, ClientSettings, UpdatePlan, InstallRecord, ManifestTrust {};

// Paths live in 260-character buffers: a path must stay within 259 characters.
constexpr std::size_t kMaxPathChars = 259;
