#include "tools/publish/manifest_lint.h"

#include <limits>
#include <map>
#include <optional>
#include <set>

#include "tools/publish/gbk_text.h"
#include "tools/publish/manifest_text.h"
#include "updater/base/ini_text_reader.h"
#include "updater/core/install_paths.h"
#include "updater/base/manifest.h"
#include "updater/base/manifest_freshness.h"
#include "updater/base/file_name_case.h"
#include "updater/base/text_rules.h"
#include "updater/base/update_limits.h"
#include "updater/transfer/download_rules.h"

namespace publish {
namespace {

const char kRoot[] = "Root";
// Reads a value whole, to see what the read limit cuts off.
constexpr std::size_t kWhole = std::numeric_limits<std::size_t>::max();
// A stand-in work folder: only the name the download client would write matters.
const char kSomeTempFolder[] = "C:\\Client\\UpdateTempFolder";

bool IsHexDigits(const std::string& text, std::size_t count) {
  if (text.size() != count) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// spelling: the severity of one file listed under two spellings. Clients
// take such a manifest (they fetch the file twice), so a manifest already
// served is only warned of, and can still be signed and renewed.
void CheckLimits(const std::string& manifest, const std::vector<FileEntry>& entries, Severity spelling,
                 LintResult& result) {
  auto error = [&](const std::string& section, const std::string& key, const std::string& message) {
    result.findings.push_back(Finding{Severity::kError, section, key, message});
  };
  if (manifest.size() > static_cast<uint64_t>(update_limits::kManifestMaxBytes)) {
    error(kRoot, "", "the manifest is " + std::to_string(manifest.size()) + " bytes; the updater reads at most " +
                         std::to_string(update_limits::kManifestMaxBytes) + " and every update run fails");
  }
  // folded name -> the first entry under it
  std::map<std::string, const FileEntry*> names;
  for (const FileEntry& entry : entries) {
    const std::string folded = file_name_case::FoldGbk(entry.filePath);
    const auto [it, inserted] = names.emplace(folded, &entry);
    if (!inserted && it->second->filePath != entry.filePath) {
      result.findings.push_back(
          Finding{spelling, entry.section, "FilePath" + std::to_string(entry.index),
                  GbkForDisplay(entry.filePath) + " and " + GbkForDisplay(it->second->filePath) + " of [" +
                      it->second->section + "] are one file on Windows (they differ only in letter case)"});
    }
  }
  for (const auto& [folded, entry] : names) {
    const auto backup = names.find(folded + ".BAK");
    if (backup != names.end()) {
      error(backup->second->section, "FilePath" + std::to_string(backup->second->index),
            GbkForDisplay(backup->second->filePath) + " is the name the updater gives the backup of " +
                GbkForDisplay(entry->filePath) + " ([" + entry->section + "])");
    }
  }
  if (names.size() > update_limits::kMaxFilesPerUpdate) {
    error(kRoot, "", "the releases list " + std::to_string(names.size()) + " distinct files; one update installs at most " +
                         std::to_string(update_limits::kMaxFilesPerUpdate) +
                         " (the install journal's limit), so a client that merges them all cannot update");
  }
}

class Linter {
 public:
  Linter(const std::string& manifest, LintResult& result)
      : reader_(manifest), text_(manifest), result_(result) {}

  void Root() {
    Value(kRoot, "DownloadUrl", manifest::kRootUrlLimit);
    const std::string latest = Value(kRoot, "CurrentVersionTime", manifest::kVersionLimit);
    if (latest.empty()) {
      Error(kRoot, "CurrentVersionTime", "missing: every update run fails");
    } else if (!IsPlainVersion(latest)) {
      Error(kRoot, "CurrentVersionTime", "\"" + latest + "\" is not a plain decimal version number");
    }
    const std::string countText = Value(kRoot, "VersionCount", manifest::kVersionLimit);
    if (countText.empty()) Error(kRoot, "VersionCount", "missing: every update run fails");
    if (Value(kRoot, "CurrentVersionNum", manifest::kVersionLimit).empty()) {
      Error(kRoot, "CurrentVersionNum", "missing: every update run fails");
    }
    if (countText.empty()) return;
    if (!IsPlainVersion(countText) || AtoiText(countText) <= 0) {
      Error(kRoot, "VersionCount", "\"" + countText + "\" is not a positive decimal count of releases");
      if (AtoiText(countText) <= 0) return;
    }
    const int32_t count = AtoiText(countText);
    std::map<int32_t, int32_t> firstIndex;
    for (int32_t i = 0; i < count; ++i) {
      const std::string key = "ver" + std::to_string(i);
      const std::string entry = Value(kRoot, key, manifest::kVersionLimit);
      if (entry.empty()) {
        Error(kRoot, key, "missing (VersionCount is " + countText + "): clients not listed before it fail");
        return;
      }
      result_.versions.push_back(entry);
      if (!IsPlainVersion(entry)) {
        Error(kRoot, key,
              "\"" + entry +
                  "\" is not a plain decimal version number: the updater's two readers "
                  "would name its section differently");
      }
      const auto [it, inserted] = firstIndex.emplace(AtoiText(entry), i);
      if (!inserted) {
        Error(kRoot, key,
              entry + " is listed again (first as ver" + std::to_string(it->second) +
                  "): a client at it always takes the first place");
      }
    }
    const std::string beyond = "ver" + std::to_string(count);
    if (!reader_.Read(kRoot, beyond, manifest::kVersionLimit).empty()) {
      Warning(kRoot, beyond, "beyond VersionCount; the updater ignores it");
    }
    if (!latest.empty() && AtoiText(latest) != AtoiText(result_.versions.back())) {
      Error(kRoot, "CurrentVersionTime",
            latest + " is not the last listed release (ver" + std::to_string(count - 1) + "=" +
                result_.versions.back() + "): clients one release behind read section [" +
                std::to_string(AtoiText(latest)) + "]");
    }
  }

  void Sections(bool signedManifest) {
    for (std::size_t j = 1; j < result_.versions.size(); ++j) {
      Section(result_.versions[j], "ver" + std::to_string(j), signedManifest);
    }
  }

 private:
  void Section(const std::string& name, const std::string& listedAs, bool signedManifest) {
    if (!text_.HasSection(name)) {
      Error(name, "", "missing: the release list names it (" + listedAs + ")");
      return;
    }
    const std::string countText = Value(name, "FileCount", manifest::kFilePathLimit);
    if (countText.empty()) {
      Error(name, "FileCount", "missing: clients that need this release fail");
      return;
    }
    if (!IsPlainVersion(countText)) {
      Error(name, "FileCount", "\"" + countText + "\" is not a plain decimal count");
    }
    const uint32_t count = static_cast<uint32_t>(AtoiText(countText));
    std::set<std::string> seen;
    for (uint32_t i = 0; i < count; ++i) {
      const std::string n = std::to_string(i);
      FileEntry entry{name,
                      i,
                      Value(name, "FilePath" + n, manifest::kFilePathLimit),
                      Value(name, "FileUrl" + n, manifest::kFileUrlLimit),
                      Value(name, "FileHashID" + n, manifest::kFileUrlLimit),
                      Value(name, "FileSha256" + n, manifest::kFileUrlLimit)};
      if (entry.filePath.empty()) {
        Error(name, "FilePath" + n,
              "missing (FileCount is " + countText + "): clients that need this release fail");
        return;
      }
      if (entry.url.empty()) {
        Error(name, "FileUrl" + n, "missing: clients that need this release fail");
        return;
      }
      File(entry, signedManifest);
      if (!seen.insert(entry.filePath).second) {
        Warning(name, "FilePath" + n,
                Shown(entry.filePath) + " is listed twice in this release; the later entry wins");
      }
      result_.files.push_back(entry);
    }
    const std::string beyond = "FilePath" + std::to_string(count);
    if (!reader_.Read(name, beyond, manifest::kFilePathLimit).empty()) {
      Warning(name, beyond, "beyond FileCount; the updater ignores it");
    }
  }

  void File(const FileEntry& entry, bool signedManifest) {
    const std::string n = std::to_string(entry.index);
    const std::string& s = entry.section;
    if (!install_paths::IsContainedFilePath(entry.filePath)) {
      Error(s, "FilePath" + n,
            Shown(entry.filePath) +
                " is refused by the updater: a FilePath begins with one "
                "backslash and names a plain Windows file inside the client folder (no \"..\", drive, device "
                "name, "
                "trailing dot or space, short name, work folder, Upgrade.cfg or HistoryVersionList.cfg)");
    }
    if (LooksLikeUtf8(entry.filePath)) {
      Warning(s, "FilePath" + n,
              "reads as UTF-8 text; the updater reads GBK (code page 936), so the file "
              "would get another name: was the manifest saved as UTF-8?");
    }
    if (!IsHttpUrl(entry.url)) {
      Error(s, "FileUrl" + n, "\"" + Shown(entry.url) + "\" is not an http:// or https:// address");
    } else if (DownloadTarget(kSomeTempFolder + entry.filePath, entry.url) !=
               kSomeTempFolder + entry.filePath) {
      Error(s, "FileUrl" + n,
            "ends in .bz2: the updater stores such a body under the URL's own name, "
            "not as the file, and the install fails");
    }
    if (!entry.md5.empty() && !IsHexDigits(entry.md5, 32)) {
      Error(s, "FileHashID" + n, "\"" + Shown(entry.md5) + "\" is not an MD5 digest (32 hex digits)");
    }
    if (!entry.sha256.empty() && !IsHexDigits(entry.sha256, 64)) {
      Error(s, "FileSha256" + n, "\"" + Shown(entry.sha256) + "\" is not a SHA-256 digest (64 hex digits)");
    } else if (entry.sha256.empty()) {
      const std::string message =
          "missing: clients built with signing keys refuse a run that installs this file";
      signedManifest ? Error(s, "FileSha256" + n, message) : Warning(s, "FileSha256" + n, message);
    }
  }

  // The value as the updater reads it; a value longer than the limit is an error.
  std::string Value(const std::string& section, const std::string& key, std::size_t limit) {
    const std::string whole = reader_.Read(section, key, kWhole);
    std::string cut = reader_.Read(section, key, limit);
    if (whole.size() != cut.size()) {
      Error(section, key,
            "is " + std::to_string(whole.size()) + " bytes long; the updater reads only the first " +
                std::to_string(limit) + ": \"" + Shown(cut) + "\"");
    }
    return cut;
  }

  static std::string Shown(const std::string& text) { return GbkForDisplay(text); }

  void Error(const std::string& section, const std::string& key, const std::string& message) {
    result_.findings.push_back(Finding{Severity::kError, section, key, message});
  }
  void Warning(const std::string& section, const std::string& key, const std::string& message) {
    result_.findings.push_back(Finding{Severity::kWarning, section, key, message});
  }

  IniTextReader reader_;
  ManifestText text_;
  LintResult& result_;
};

}  // namespace

bool LintResult::HasErrors() const {
  for (const Finding& finding : findings) {
    if (finding.severity == Severity::kError) return true;
  }
  return false;
}

bool IsPlainVersion(const std::string& text) {
  if (text.empty() || text.size() > 10 || (text[0] == '0' && text.size() > 1)) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return std::stoll(text) <= std::numeric_limits<int32_t>::max();
}

void LintRoot(const std::string& manifest, LintResult& result) { Linter(manifest, result).Root(); }

LintResult LintManifest(const std::string& manifest, bool signedManifest) {
  LintResult result;
  Linter linter(manifest, result);
  linter.Root();
  linter.Sections(signedManifest);
  CheckLimits(manifest, result.files, Severity::kWarning, result);
  return result;
}

void LintLimits(const std::string& manifest, LintResult& result) {
  LintResult read;
  Linter linter(manifest, read);
  linter.Root();
  linter.Sections(false);
  CheckLimits(manifest, read.files, Severity::kError, result);
}

void LintExpiry(const std::string& manifest, int64_t now, LintResult& result) {
  const IniTextReader reader(manifest);
  const std::string expires = reader.Read(kRoot, manifest_freshness::kExpiresKey, kWhole);
  const std::string serial = reader.Read(kRoot, manifest_freshness::kSerialKey, kWhole);
  auto add = [&](Severity severity, const char* key, const std::string& message) {
    result.findings.push_back(Finding{severity, kRoot, key, message});
  };
  const char kRefused[] = "clients built with signing keys refuse the manifest; run sign";
  int64_t expiry = 0;
  uint64_t number = 0;
  if (expires.empty()) {
    add(Severity::kError, manifest_freshness::kExpiresKey, std::string("missing: ") + kRefused);
  } else if (!manifest_freshness::ParseExpires(expires, expiry)) {
    add(Severity::kError, manifest_freshness::kExpiresKey,
        "\"" + GbkForDisplay(expires) + "\" is not a UTC time YYYY-MM-DDTHH:MM:SSZ: " + kRefused);
  } else if (expiry <= now) {
    add(Severity::kError, manifest_freshness::kExpiresKey,
        "passed on " + expires + ": clients built with signing keys refuse the manifest; run sign --renew");
  } else if (expiry - now < kRenewWarningDays * 86400) {
    add(Severity::kWarning, manifest_freshness::kExpiresKey,
        "the manifest expires in " + std::to_string((expiry - now) / 86400) + " day(s), on " + expires +
            ": run sign --renew before then");
  }
  if (serial.empty()) {
    add(Severity::kError, manifest_freshness::kSerialKey, std::string("missing: ") + kRefused);
  } else if (!manifest_freshness::ParseSerial(serial, number)) {
    add(Severity::kError, manifest_freshness::kSerialKey,
        "\"" + GbkForDisplay(serial) + "\" is not a decimal number of at most 19 digits: " + kRefused);
  }
}

InstalledView ViewForInstalled(const std::string& manifest, int32_t installedVersion) {
  InstalledView view;
  const IniTextReader reader(manifest);
  UpdatePlan update;
  if (!manifest::ReadRootHeader(reader, update)) {
    view.outcome = "[Root] CurrentVersionTime is missing: the run fails";
    return view;
  }
  const manifest::ReleaseIndex index = manifest::ReadVersionIndex(reader, installedVersion, update);
  const bool multiStep = index == manifest::ReleaseIndex::kSeveralSteps;
  if (index == manifest::ReleaseIndex::kUnreadable) {
    const bool atLatest =
        update.versionCount > 0 && AtoiText(reader.Read(kRoot, "ver" + std::to_string(update.versionCount - 1),
                                                       manifest::kVersionLimit)) == installedVersion;
    view.outcome = atLatest ? "already at the latest release: nothing to install, the run fails"
                            : "the release list cannot be read: the run fails";
    return view;
  }
  if (!manifest::IsSelected(index)) {
    view.outcome = "not in the release list: nothing to install, the run fails";
    return view;
  }
  if (multiStep) {
    for (int64_t j = int64_t{update.installedIndex} + 1; j < update.versionCount; ++j) {
      view.releases.push_back(reader.Read(kRoot, "ver" + std::to_string(j), manifest::kVersionLimit));
    }
  } else {
    view.releases.push_back(std::to_string(update.latestVersion));
  }
  const bool read =
      multiStep ? manifest::ReadVersionRange(reader, update) : manifest::ReadSingleVersion(reader, update);
  view.urls = update.FileUrlMap;
  view.md5s = update.FileHashMap;
  view.sha256s = update.FileSha256Map;
  if (!read) {
    view.outcome = "a release section lacks a required key: the run fails before any download";
  } else if (view.urls.empty()) {
    view.outcome = "the releases list no file: nothing to install, the run fails";
  } else {
    view.runs = true;
  }
  return view;
}

}  // namespace publish
