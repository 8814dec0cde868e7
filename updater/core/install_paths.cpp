#include "updater/core/install_paths.h"

#include <cstddef>
#include <optional>
#include <vector>

#include "updater/base/file_name_rules.h"
#include "updater/base/text_rules.h"
#include "updater/core/install_journal.h"
#include "updater/transfer/download_rules.h"

namespace install_paths {
namespace {

// Splits text at its backslashes. With gbk set, a double-byte character is
// never split and an incomplete one makes the split fail.
bool SplitAtBackslashes(const std::string& text, bool gbk, std::vector<std::string>& parts) {
  parts.assign(1, std::string());
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (gbk && IsGbkLeadByte(c)) {
      if (i + 1 >= text.size() || !IsGbkTrailByte(static_cast<unsigned char>(text[i + 1]))) return false;
      parts.back() += text.substr(i, 2);
      ++i;
    } else if (c == '\\') {
      parts.emplace_back();
    } else {
      parts.back() += text[i];
    }
  }
  return true;
}

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// NAME~1 or NAME~12.EXT may be the short alias of another entry, such as a work
// folder, so such names are refused.
bool LooksLikeShortName(const std::string& component) {
  for (std::size_t i = 0; i + 1 < component.size(); ++i) {
    if (component[i] != '~' || !IsAsciiDigit(component[i + 1])) continue;
    std::size_t j = i + 1;
    while (j < component.size() && IsAsciiDigit(component[j])) ++j;
    if (j == component.size() || component[j] == '.') return true;
  }
  return false;
}

// The rules for one component as code page 936 reads it.
bool IsPlainName(const std::string& component) {
  return IsPlainFileName(component) && !LooksLikeShortName(component);
}

// The rules for one component split at every 0x5C byte: only what could climb
// out of a folder matters here, since the other characters read as themselves.
bool IsPlainByteName(const std::string& component) {
  return !component.empty() && component != "." && component != ".." && component.back() != '.' &&
         component.back() != ' ';
}

// The work folders and work files, whose name a destination or a backup copy
// (TempBackUpFolder + FilePath) must never take.
bool IsWorkFolderName(const std::string& component) {
  return EqualsIgnoreAsciiCaseMb(component, kTempFolderName) ||
         EqualsIgnoreAsciiCaseMb(component, kBackupFolderName) ||
         EqualsIgnoreAsciiCaseMb(component, kPartialFolderName) ||
         EqualsIgnoreAsciiCaseMb(component, install_journal::kFileName) ||
         EqualsIgnoreAsciiCaseMb(component, kPartialCopyName) ||
         EqualsIgnoreAsciiCaseMb(component, kSetAsideFolderName) ||
         EqualsIgnoreAsciiCaseMb(component, kKeptFolderName) ||
         EqualsIgnoreAsciiCaseMb(component, kLockFileName);
}

bool EndsWithIgnoringCase(const std::string& name, const std::string& suffix) {
  return name.size() >= suffix.size() &&
         EqualsIgnoreAsciiCaseMb(name.substr(name.size() - suffix.size()), suffix);
}

// Names the pipeline gives to files of its own beside a destination, which
// it may overwrite or delete: a patch's output, a restore's copy of a backup,
// and the copy older updaters made for a restore.
bool HasWorkFileEnding(const std::string& name) {
  return EndsWithIgnoringCase(name, kPatchOutputSuffix) || EndsWithIgnoringCase(name, kCopyBackSuffix) ||
         EndsWithIgnoringCase(name, std::string(".") + kPartialCopyName);
}

}  // namespace

std::string FolderPart(const std::string& filePath) {
  std::size_t pos = FindLastSingleByte(filePath, '\\');
  if (pos == std::string::npos || pos == 0) return std::string();
  return filePath.substr(0, pos);
}

std::string ParentPath(const std::string& path) {
  std::size_t pos = FindLastSingleByte(path, '\\');
  return pos == std::string::npos ? std::string() : path.substr(0, pos);
}

bool IsContainedFilePath(const std::string& filePath) {
  if (filePath.size() < 2 || filePath[0] != '\\') return false;
  const std::string relative = filePath.substr(1);

  std::vector<std::string> parts;
  if (!SplitAtBackslashes(relative, true, parts)) return false;
  for (const std::string& part : parts) {
    if (!IsPlainName(part)) return false;
  }
  if (IsWorkFolderName(parts.front())) return false;
  if (parts.size() == 1 && (EqualsIgnoreAsciiCaseMb(parts[0], kHistoryFileName) ||
                            EqualsIgnoreAsciiCaseMb(parts[0], kSignatureFileName) ||
                            EqualsIgnoreAsciiCaseMb(parts[0], kSettingsFileName) ||
                            EqualsIgnoreAsciiCaseMb(parts[0], kSerialStateFileName) ||
                            EqualsIgnoreAsciiCaseMb(parts[0], kSerialStateNewName) ||
                            EqualsIgnoreAsciiCaseMb(parts[0], kRunLogFileName) ||
                            EqualsIgnoreAsciiCaseMb(parts[0], kOlderRunLogFileName))) {
    return false;
  }
  if (HasWorkFileEnding(parts.back())) return false;

  SplitAtBackslashes(relative, false, parts);
  for (const std::string& part : parts) {
    if (!IsPlainByteName(part)) return false;
  }
  return !IsWorkFolderName(parts.front());
}

bool FitsPathBuffers(const RunPaths& paths, const std::string& filePath) {
  constexpr std::size_t kPattern = 4;  // "\*.*" of a folder enumeration
  constexpr std::size_t kAside = 4;    // ".bak"
  constexpr std::size_t kCopyBack = sizeof kCopyBackSuffix - 1;
  if (paths.tempFolder.size() + filePath.size() > kMaxPathChars) return false;
  if (paths.backupFolder.size() + filePath.size() > kMaxPathChars) return false;
  if (paths.exeFolder.size() + filePath.size() + (kAside > kCopyBack ? kAside : kCopyBack) > kMaxPathChars)
    return false;
  const std::string folder = FolderPart(filePath);
  if (paths.tempFolder.size() + folder.size() + kPattern > kMaxPathChars) return false;
  if (paths.backupFolder.size() + folder.size() + kPattern > kMaxPathChars) return false;
  return true;
}

bool IsContainedDownloadTarget(const RunPaths& paths, const std::string& filePath,
                               const std::string& url) {
  const std::optional<std::string> target = DownloadTarget(paths.tempFolder + filePath, url);
  return target && target->size() <= kMaxPathChars;
}

bool InstallTableIsContained(const RunPaths& paths, const UpdatePlan& plan) {
  for (const auto& [filePath, url] : plan.FileUrlMap) {
    if (!IsContainedFilePath(filePath) || !FitsPathBuffers(paths, filePath) ||
        !IsContainedDownloadTarget(paths, filePath, url)) {
      return false;
    }
  }
  return true;
}

bool HasComServerExtension(const std::string& path) {
  std::size_t pos = FindLastSingleByte(path, '.');
  if (pos == std::string::npos) return false;
  const std::string extension = path.substr(pos + 1);
  return EqualsIgnoreAsciiCaseMb(extension, "dll") || EqualsIgnoreAsciiCaseMb(extension, "ocx");
}

std::string RegsvrCommandLine(const std::string& regsvrPath, const std::string& path) {
  // A path on a network share begins with \\server: that pair is kept.
  std::size_t i = path.compare(0, 2, "\\\\") == 0 ? 2 : 0;
  std::string single = path.substr(0, i);
  single.reserve(path.size());
  for (; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (IsGbkLeadByte(c) && i + 1 < path.size()) {
      single += path.substr(i, 2);
      ++i;
    } else if (c == '\\' && i + 1 < path.size() && path[i + 1] == '\\') {
      single += '\\';
      ++i;
    } else {
      single += path[i];
    }
  }
  return "\"" + regsvrPath + "\" \"" + single + "\" /s";
}

}  // namespace install_paths
