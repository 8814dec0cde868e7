#pragma once
// The settings file Upgrade.cfg and the paths derived from the updater's
// folder. Both are plain rules over texts, so they build and run natively.

#include <cstddef>
#include <string>

#include "updater/base/profile_reader.h"
#include "updater/base/text_rules.h"
#include "updater/base/update_job_state.h"

// Longest values kept from the "Client" section (their buffers hold one more).
constexpr std::size_t kTimeChars = 31;
constexpr std::size_t kDownloadUrlChars = 259;
constexpr std::size_t kConfigUrlChars = 254;

// Reads "Time", "DownloadUrl" and "ConfigUrl" of section "Client", in this
// order, into installedVersion, downloadUrl and configUrl. False as soon as
// "Time" or "ConfigUrl" is empty (a missing key reads as empty).
bool ReadClientSection(const ProfileReader& settings, ClientSettings& client);

// The folder of a module path, up to and including its last backslash; empty
// when the path has no backslash. Double-byte characters of the path's code
// page (isLeadByte) are stepped over, so a trail byte 0x5C is never taken for
// a separator, and a single-byte letter such as 'é' never hides one.
std::string FolderOfModulePath(const std::string& modulePath, LeadByteRule isLeadByte);

// The settings file's path for an updater folder; empty when it would not fit
// in a 260-character path buffer.
std::string SettingsPathFor(const std::string& exeFolder);

// Fills exeFolder, upgradeCfgPath, historyPath, backupFolder and tempFolder from
// the module path. False, leaving paths untouched, when the path has no folder
// or the longest derived path would not fit in a 260-character buffer: such an
// installation folder is not supported, and refusing it here keeps every later
// path of the run within its buffer.
bool BuildRunPaths(const std::string& modulePath, LeadByteRule isLeadByte, RunPaths& paths);
