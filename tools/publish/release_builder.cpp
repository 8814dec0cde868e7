#include "tools/publish/release_builder.h"

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <system_error>

#include "tools/publish/gbk_text.h"
#include "tools/publish/input_checks.h"
#include "tools/publish/manifest_lint.h"
#include "tools/publish/manifest_text.h"
#include "tools/publish/publish_files.h"
#include "tools/publish/signature_file.h"
#include "tools/publish/signed_pair.h"
#include "updater/base/file_name_case.h"
#include "updater/base/ini_text_reader.h"
#include "updater/base/update_limits.h"
#include "updater/core/install_paths.h"
#include "updater/base/manifest.h"
#include "updater/base/outcome_report.h"
#include "updater/base/text_rules.h"
#include "updater/transfer/md5.h"
#include "updater/transfer/download_rules.h"

namespace publish {
namespace {

namespace fs = std::filesystem;

const char kRoot[] = "Root";
const char kSomeTempFolder[] = "C:\\Client\\UpdateTempFolder";

std::string ToBackslashes(std::string text) {
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

std::string WithTrailingSlash(std::string url) {
  if (url.empty() || url.back() != '/') url += '/';
  return url;
}

bool IsPlainUrlText(const std::string& url) {
  for (unsigned char c : url) {
    if (c <= ' ' || c >= 0x7F) return false;
  }
  return true;
}

// The checks that need only the options.
void CheckOptions(const ReleaseOptions& options, std::vector<std::string>& errors) {
  if (!IsPlainVersion(options.version)) {
    errors.push_back("--version \"" + options.version +
                     "\": a version is a plain decimal number (no sign, spaces or leading zeros) below 2^31");
  }
  if (!options.fromVersion.empty() && !IsPlainVersion(options.fromVersion)) {
    errors.push_back("--from-version \"" + options.fromVersion + "\" is not a plain decimal version number");
  }
  const std::string urlProblem = BaseUrlProblem(options.baseUrl);
  if (!IsHttpUrl(options.baseUrl) || !IsPlainUrlText(options.baseUrl) || !urlProblem.empty()) {
    errors.push_back("--base-url \"" + options.baseUrl + "\": " +
                     (urlProblem.empty()
                          ? "an http:// or https:// address without spaces or non-ASCII characters"
                          : urlProblem));
  }
  const std::string manifestFolder = fs::path(options.manifestPath).parent_path().string();
  for (const auto& [what, folder] :
       {std::pair<std::string, std::string>{"the manifest's folder", manifestFolder},
        {"--out", options.outDir}}) {
    const std::string problem = WritableFolderProblem(folder);
    if (!problem.empty()) errors.push_back(what + " " + folder + ": " + problem);
  }
}

// The [Root] of an existing manifest: the release list (as written), or errors.
std::vector<std::string> ExistingReleases(const std::string& manifest, const ReleaseOptions& options,
                                          std::vector<std::string>& errors) {
  if (manifest.compare(0, 2, "\xFF\xFE") == 0 || manifest.compare(0, 2, "\xFE\xFF") == 0) {
    errors.push_back(options.manifestPath + " is UTF-16 text; a manifest is a code page 936 (GBK) file");
    return {};
  }
  LintResult root;
  LintRoot(manifest, root);
  for (const Finding& finding : root.findings) {
    if (finding.severity == Severity::kError) {
      errors.push_back(options.manifestPath + ": [" + finding.section + "] " + finding.key + " " +
                       finding.message);
    }
  }
  if (root.HasErrors()) return {};
  for (std::size_t i = 0; i < root.versions.size(); ++i) {
    if (AtoiText(root.versions[i]) == AtoiText(options.version)) {
      errors.push_back("version " + options.version + " is already listed as ver" + std::to_string(i) +
                       " in " + options.manifestPath);
    }
  }
  if (ManifestText(manifest).HasSection(options.version)) {
    errors.push_back(options.manifestPath + " already has a section [" + options.version +
                     "]; the updater would read that one");
  }
  if (!options.fromVersion.empty() && AtoiText(options.fromVersion) != AtoiText(root.versions.back())) {
    errors.push_back("--from-version " + options.fromVersion + " is not the manifest's latest release (" +
                     root.versions.back() + ")");
  }
  return root.versions;
}

// One taken file's manifest texts, or the reasons the updater would refuse it.
std::optional<ReleaseFile> DescribeFile(const ReleaseOptions& options, const std::string& relative,
                                        const std::string& source, std::vector<std::string>& errors) {
  const auto gbk = Utf8ToGbk(ToBackslashes(relative));
  if (!gbk) {
    errors.push_back(relative +
                     ": the name cannot be written in GBK (code page 936), which the updater uses");
    return std::nullopt;
  }
  ReleaseFile file;
  file.relative = relative;
  file.source = source;
  file.filePath = "\\" + *gbk;
  file.url = WithTrailingSlash(options.baseUrl) + options.version + "/" + EncodeUrlPath(relative);
  const std::size_t before = errors.size();
  if (file.filePath.size() > manifest::kFilePathLimit) {
    errors.push_back(relative + ": its FilePath is " + std::to_string(file.filePath.size()) +
                     " bytes in GBK; the updater reads at most " + std::to_string(manifest::kFilePathLimit));
  }
  if (!install_paths::IsContainedFilePath(file.filePath)) {
    errors.push_back(relative + ": the updater refuses this path: " + NameRuleBroken(relative));
  }
  if (file.url.size() > manifest::kFileUrlLimit) {
    errors.push_back(relative + ": its URL is " + std::to_string(file.url.size()) +
                     " characters; the updater reads at most " + std::to_string(manifest::kFileUrlLimit) +
                     " (use a shorter --base-url or name)");
  }
  if (DownloadTarget(kSomeTempFolder + file.filePath, file.url) != kSomeTempFolder + file.filePath) {
    errors.push_back(relative +
                     ": its URL ends in .bz2 and names it otherwise (%-escapes), so the updater would store "
                     "it under another name");
  }
  if (errors.size() != before) return std::nullopt;
  return file;
}

// Folded as Windows folds names: two paths equal here are one file there.
std::string FoldedPath(const std::string& gbk) { return file_name_case::FoldGbk(gbk); }

// releases: the list before this release; its first alreadyWritten entries
// are in the existing text.
std::string BuildManifest(const std::string& existing, const std::vector<std::string>& releases,
                          std::size_t alreadyWritten, const ReleaseOptions& options, const std::string& name,
                          const std::vector<ReleaseFile>& files) {
  ManifestText text(existing);
  std::vector<std::string> list = releases;
  list.push_back(options.version);
  text.SetKey(kRoot, "VersionCount", std::to_string(list.size()));
  text.SetKey(kRoot, "CurrentVersionTime", options.version);
  text.SetKey(kRoot, "CurrentVersionNum", name);
  if (!options.reportUrl.empty()) text.SetKey(kRoot, outcome_report::kReportUrlKey, options.reportUrl);
  for (std::size_t i = alreadyWritten; i < list.size(); ++i) {
    text.SetKey(kRoot, "ver" + std::to_string(i), list[i]);
  }
  ManifestText::Keys keys{{"FileCount", std::to_string(files.size())}};
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string n = std::to_string(i);
    keys.emplace_back("FilePath" + n, files[i].filePath);
    keys.emplace_back("FileUrl" + n, files[i].url);
    keys.emplace_back("FileHashID" + n, files[i].digests.md5);
    keys.emplace_back("FileSha256" + n, files[i].digests.sha256);
    AppendPatchKeys(i, files[i], keys);
  }
  text.AppendSection(options.version, keys);
  return text.Text();
}

// Reads the new manifest back with the updater's readers, as a client at the
// previous release would: it must list exactly the planned files.
bool ReadsBackAsPlanned(const std::string& manifest, const std::string& previous, const ReleasePlan& plan) {
  const IniTextReader reader(manifest);
  UpdatePlan update;
  const int32_t installed = AtoiText(previous);
  if (!manifest::ReadRootHeader(reader, update) ||
      manifest::ReadVersionIndex(reader, installed, update) != manifest::ReleaseIndex::kOneStep ||
      !manifest::ReadSingleVersion(reader, update) || update.FileUrlMap.size() != plan.files.size()) {
    return false;
  }
  for (const ReleaseFile& file : plan.files) {
    const std::string* url = update.FileUrlMap.Find(file.filePath);
    const std::string* md5 = update.FileHashMap.Find(file.filePath);
    if (!url || *url != file.url || !md5 || *md5 != file.digests.md5) return false;
  }
  return true;
}

// A --from file whose bytes are not what the manifest last recorded for its
// FilePath: the folder may not hold the previous release, and a change made
// since would then go unreleased.
template <typename OldDigest>
void WarnOfUnrecordedOldFiles(const std::string& existing, const std::map<std::string, std::string>& oldFiles,
                              const OldDigest& oldDigest, const ReleaseOptions& options,
                              std::vector<std::string>& warnings) {
  if (existing.empty()) return;
  std::map<std::string, std::pair<std::string, std::string>> recorded;  // folded FilePath -> release, SHA-256
  for (const FileEntry& entry : LintManifest(existing, false).files) {
    if (!entry.sha256.empty()) recorded[FoldedPath(entry.filePath)] = {entry.section, entry.sha256};
  }
  for (const auto& [relative, source] : oldFiles) {
    const auto gbk = Utf8ToGbk(ToBackslashes(relative));
    if (!gbk) continue;
    const auto it = recorded.find(FoldedPath("\\" + *gbk));
    if (it == recorded.end()) continue;
    const auto& digests = oldDigest(relative);
    if (digests && !HashMatches(digests->sha256, it->second.second)) {
      warnings.push_back(source + " differs from what release " + it->second.first +
                         " recorded for it: is --from " + options.fromDir +
                         " the previous release's folder?");
    }
  }
}

}  // namespace

std::string EncodeUrlPath(const std::string& relative) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : relative) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  return encoded;
}

namespace {

// The manifest to add to and its releases so far. False when it exists but
// cannot be read.
struct ExistingManifest {
  std::string text;
  std::vector<std::string> releases;
  std::size_t alreadyWritten = 0;
};

bool ReadExistingManifest(const ReleaseOptions& options, ExistingManifest& existing,
                          std::vector<std::string>& errors) {
  std::error_code ec;
  if (fs::exists(options.manifestPath, ec)) {
    const auto text = ReadWholeFile(options.manifestPath);
    if (!text) {
      errors.push_back(options.manifestPath + ": cannot read");
      return false;
    }
    existing.text = *text;
    existing.releases = ExistingReleases(existing.text, options, errors);
    existing.alreadyWritten = existing.releases.size();
  } else if (options.fromVersion.empty()) {
    errors.push_back(options.manifestPath +
                     " does not exist: give --from-version, the version of the clients "
                     "that have the files of " +
                     options.fromDir + ", to start it");
  } else if (AtoiText(options.fromVersion) == AtoiText(options.version)) {
    errors.push_back("--from-version and --version are the same");
  } else {
    existing.releases.push_back(options.fromVersion);
  }
  return true;
}

// The release's CurrentVersionNum, in GBK: --name, or the version.
std::string ReleaseName(const ReleaseOptions& options, std::vector<std::string>& errors) {
  if (options.name.empty()) return options.version;
  const auto gbk = Utf8ToGbk(options.name);
  if (!gbk) {
    errors.push_back("--name cannot be written in GBK (code page 936)");
  } else if (gbk->size() > manifest::kVersionLimit) {
    errors.push_back("--name is " + std::to_string(gbk->size()) + " bytes in GBK; the updater reads at most " +
                     std::to_string(manifest::kVersionLimit));
  } else {
    return *gbk;
  }
  return options.version;
}

// The files of the new folder that are new or changed since the old one, in
// plan.files; gone files are warnings, since a manifest cannot delete them.
void PlanChangedFiles(const ReleaseOptions& options, const std::string& existing,
                      std::map<std::string, std::string>& oldFiles, const std::map<std::string, std::string>& newFiles,
                      ReleasePlan& plan) {
  std::vector<std::string>& errors = plan.errors;
  std::map<std::string, std::optional<FileDigests>> oldDigests;
  const auto oldDigest = [&](const std::string& relative) -> const std::optional<FileDigests>& {
    auto it = oldDigests.find(relative);
    if (it == oldDigests.end()) it = oldDigests.emplace(relative, DigestFile(oldFiles[relative])).first;
    return it->second;
  };
  WarnOfUnrecordedOldFiles(existing, oldFiles, oldDigest, options, plan.warnings);

  std::map<std::string, std::string> folded;  // folded FilePath -> relative
  for (const auto& [relative, source] : newFiles) {
    // Before reading it: no client can download it, changed or not.
    std::error_code ec;
    const uintmax_t size = fs::file_size(source, ec);
    if (!ec && size > static_cast<uintmax_t>(update_limits::kInstallFileMaxBytes)) {
      errors.push_back(source + " is " + std::to_string(size) + " bytes; the updater downloads at most " +
                       std::to_string(update_limits::kInstallFileMaxBytes) + " (under 2 GiB) per file");
      continue;
    }
    const auto digests = DigestFile(source);
    if (!digests) {
      errors.push_back(source + ": cannot read");
      continue;
    }
    if (oldFiles.count(relative)) {
      const auto& previous = oldDigest(relative);
      if (previous && previous->sha256 == digests->sha256) continue;
    }
    auto file = DescribeFile(options, relative, source, errors);
    if (!file) continue;
    file->digests = *digests;
    const auto [it, inserted] = folded.emplace(FoldedPath(file->filePath), relative);
    if (!inserted) {
      errors.push_back(relative + " and " + it->second + " differ only in letter case: one file on Windows");
      continue;
    }
    plan.files.push_back(*file);
  }
  std::set<std::string> newFolded;
  for (const auto& [relative, source] : newFiles) newFolded.insert(file_name_case::FoldUtf8(relative));
  for (const auto& [relative, source] : oldFiles) {
    // Under another spelling it is not gone: the manifest check names both.
    if (!newFolded.count(file_name_case::FoldUtf8(relative))) {
      plan.warnings.push_back(relative + " is gone from " + options.toDir +
                              ", but a manifest cannot delete files: clients keep it");
    }
  }
}

// The new manifest's bytes, checked against the updater's limits and read back.
void PlanManifest(const ReleaseOptions& options, const ExistingManifest& existing, const std::string& name,
                  ReleasePlan& plan) {
  std::vector<std::string>& errors = plan.errors;
  plan.manifest = BuildManifest(existing.text, existing.releases, existing.alreadyWritten, options, name, plan.files);
  LintResult limits;
  LintLimits(plan.manifest, limits);
  for (const Finding& finding : limits.findings) {
    errors.push_back(options.manifestPath + ": [" + finding.section + "] " + finding.key + ": " + finding.message);
  }
  if (!errors.empty()) return;
  if (!ReadsBackAsPlanned(plan.manifest, existing.releases.back(), plan)) {
    errors.push_back(options.manifestPath +
                     ": the updater would not read the new release as written; "
                     "run lint on the manifest");
  }
}

}  // namespace

ReleasePlan PlanRelease(const ReleaseOptions& options) {
  ReleasePlan plan;
  std::vector<std::string>& errors = plan.errors;
  CheckOptions(options, errors);
  ExistingManifest existing;
  if (!ReadExistingManifest(options, existing, errors)) return plan;
  const std::string name = ReleaseName(options, errors);

  std::map<std::string, std::string> oldFiles;
  std::map<std::string, std::string> newFiles;
  ListReleaseFiles(options.fromDir, oldFiles, errors);
  ListReleaseFiles(options.toDir, newFiles, errors);
  if (!errors.empty()) return plan;
  PlanChangedFiles(options, existing.text, oldFiles, newFiles, plan);
  if (errors.empty() && plan.files.empty()) {
    errors.push_back("no file is new or changed between " + options.fromDir + " and " + options.toDir +
                     ": a release without files makes every update to it fail");
  }
  if (!errors.empty()) return plan;

  if (options.deltas) PlanPatches(options, plan.files, plan.warnings);
  PlanManifest(options, existing, name, plan);
  return plan;
}

}  // namespace publish
