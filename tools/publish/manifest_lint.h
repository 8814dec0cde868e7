#pragma once
// Checks of a manifest against the updater's own readers and rules: what the
// updater would refuse, cut or misread, each finding with its section and key.

#include <cstdint>
#include <string>
#include <vector>

#include "updater/base/file_table.h"

namespace publish {

enum class Severity { kWarning, kError };

struct Finding {
  Severity severity;
  std::string section;
  std::string key;
  std::string message;
};

// One file entry of a release section, as the updater reads it (values cut to
// the read limits).
struct FileEntry {
  std::string section;
  uint32_t index = 0;
  std::string filePath;
  std::string url;
  std::string md5;     // FileHashID<n>, empty when absent
  std::string sha256;  // FileSha256<n>, empty when absent
};

struct LintResult {
  std::vector<Finding> findings;
  std::vector<FileEntry> files;  // every entry of every release section read
  // The release list as read, ver0 first (values as written).
  std::vector<std::string> versions;
  bool HasErrors() const;
};

// Plain decimal without sign, spaces or leading zeros, within 32 bits signed:
// the only form in which both of the updater's readers name the same section.
bool IsPlainVersion(const std::string& text);

// Checks the [Root] keys and the release list only.
void LintRoot(const std::string& manifest, LintResult& result);

// Checks the whole manifest. signedManifest says that a signature file lies
// beside it, so clients with built-in keys read it: a file without
// FileSha256<n> is then an error, not a warning.
LintResult LintManifest(const std::string& manifest, bool signedManifest);

// What a new release must not bring: a manifest longer than the updater
// reads, more distinct files than one update can install and undo, a
// FilePath beside another of the same name plus ".bak", and two FilePaths
// that are one file on Windows (Windows' case rules). LintManifest checks the
// same, the last as a warning (clients take it, fetching the file twice).
void LintLimits(const std::string& manifest, LintResult& result);

// The [Root] Expires and Serial that clients built with keys require: an
// error when either is missing or malformed or the expiry has passed by now
// (seconds since 1970), a warning when it is less than kRenewWarningDays away.
constexpr int64_t kRenewWarningDays = 14;
void LintExpiry(const std::string& manifest, int64_t now, LintResult& result);

// What a client at installedVersion gets: the updater's readers and merge.
struct InstalledView {
  bool runs = false;                  // false: the run fails before any download
  std::string outcome;                // why, in words, when it does not run
  std::vector<std::string> releases;  // the sections read, in order
  FileTable urls;                     // FilePath -> URL
  FileTable md5s;                     // FilePath -> FileHashID
  FileTable sha256s;                  // FilePath -> FileSha256
};
InstalledView ViewForInstalled(const std::string& manifest, int32_t installedVersion);

}  // namespace publish
