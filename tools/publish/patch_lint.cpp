#include "tools/publish/patch_lint.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <set>

#include "tools/publish/delta_encoder.h"
#include "tools/publish/gbk_text.h"
#include "tools/publish/publish_crypto.h"
#include "tools/publish/publish_files.h"
#include "updater/base/ini_text_reader.h"
#include "updater/base/manifest_patches.h"
#include "updater/base/text_rules.h"
#include "updater/transfer/md5.h"

namespace publish {
namespace {

std::vector<unsigned char> AsBytes(const std::string& text) { return {text.begin(), text.end()}; }

// The entry of the same FilePath whose file is the patch's base, or null.
const FileEntry* BaseEntry(const std::vector<FileEntry>& files, const FileEntry& file,
                           const FilePatch& patch) {
  for (const FileEntry& other : files) {
    if (other.filePath == file.filePath && HashMatches(other.sha256, patch.baseSha256)) return &other;
  }
  return nullptr;
}

// The base in one of the local folders of older releases, or empty.
std::string LocalBase(const std::vector<std::string>& folders, const FileEntry& file, const FilePatch& patch) {
  std::string relative = GbkForDisplay(file.filePath);
  std::replace(relative.begin(), relative.end(), '\\', '/');
  relative.erase(0, relative.find_first_not_of('/'));
  for (const std::string& folder : folders) {
    const std::string path = folder + "/" + relative;
    const auto digests = DigestFile(path);
    if (digests && HashMatches(digests->sha256, patch.baseSha256)) return path;
  }
  return "";
}

constexpr std::size_t kLargestFile = std::size_t{1} << 31;

std::string AppliedLine(std::size_t fetched, std::size_t applied) {
  return "fetched " + std::to_string(fetched) + " patch(es): " + std::to_string(applied) +
         (applied == 1 ? ", applied to its base, makes its file" : ", applied to their bases, make their files");
}

// What is wrong with the answer for a patch, or empty.
std::string AnswerProblem(const FetchOutcome& got, const FilePatch& patch) {
  if (got.status < 200 || got.status > 299) return "HTTP status " + std::to_string(got.status);
  if (got.body.size != patch.length) {
    return std::to_string(got.body.size) + " bytes, not the listed " + std::to_string(patch.length);
  }
  if (!HashMatches(got.body.sha256, patch.sha256)) return "its SHA-256 is not the listed one";
  return "";
}

// Fetches the patch, its base (or reads it from a local folder) and its file,
// and applies the patch: an empty text when it makes the file, or what failed.
std::string ApplyCheck(const FileEntry& file, const FilePatch& patch, const FileEntry* baseEntry,
                       const std::string& localBase, const PatchFetchOptions& options) {
  std::string bytes, base, target, error;
  HostRecord& hosts = *options.hosts;
  const bool fetched =
      FetchBody(patch.url, patch.length < kLargestFile ? patch.length + 1 : kLargestFile, options.timeoutSec, hosts,
                bytes, error) &&
      FetchBody(file.url, kLargestFile, options.timeoutSec, hosts, target, error);
  if (!fetched) return "the patch or its file cannot be fetched: " + error;
  if (baseEntry != nullptr) {
    if (!FetchBody(baseEntry->url, kLargestFile, options.timeoutSec, hosts, base, error)) {
      return "its base cannot be fetched: " + error;
    }
  } else {
    const auto read = ReadWholeFile(localBase);
    if (!read) return localBase + ": cannot read its base";
    base = *read;
  }
  if (!delta::PatchMakesTarget(AsBytes(bytes), AsBytes(base), AsBytes(target))) {
    return "applied to its base" + (baseEntry ? std::string() : " " + localBase) + " it does not make " + file.url;
  }
  return "";
}

}  // namespace

void CheckFetchedPatches(const std::string& manifest, const std::vector<FileEntry>& files,
                         const PatchFetchOptions& options, LintResult& result) {
  const IniTextReader reader(manifest);
  struct Listed {
    const FileEntry* file;
    FilePatch patch;
    std::string key;
  };
  std::vector<Listed> listed;
  std::vector<std::string> urls;
  for (const FileEntry& file : files) {
    const std::vector<FilePatch> patches = manifest::ReadFilePatches(reader, file.section, file.index);
    for (std::size_t j = 0; j < patches.size(); ++j) {
      listed.push_back(Listed{&file, patches[j], "FilePatchUrl" + std::to_string(file.index) + "_" + std::to_string(j)});
      urls.push_back(patches[j].url);
    }
  }
  if (listed.empty()) return;
  // Length and SHA-256 of every patch first, several at a time; only what
  // passes is fetched again, with its base and file, to be applied.
  const auto outcomes = FetchAll(urls, options.jobs, options.progress, *options.hosts, options.timeoutSec,
                                 options.timeoutSec);
  std::size_t applied = 0, answered = 0;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const FileEntry& file = *listed[i].file;
    const FilePatch& patch = listed[i].patch;
    const FetchOutcome& got = outcomes[i];
    auto finding = [&](Severity severity, const std::string& message) {
      result.findings.push_back(Finding{severity, file.section, listed[i].key, patch.url + ": " + message});
    };
    if (got.unreachable) continue;  // said once for the host
    if (!got.error.empty()) {
      finding(Severity::kError, got.error);
      continue;
    }
    ++answered;
    std::string problem = AnswerProblem(got, patch);
    if (!problem.empty()) {
      finding(Severity::kError, problem);
      continue;
    }
    const FileEntry* baseEntry = BaseEntry(files, file, patch);
    const std::string localBase = baseEntry ? std::string() : LocalBase(options.deltaBases, file, patch);
    if (baseEntry == nullptr && localBase.empty()) {
      finding(Severity::kWarning, "no release serves its base, nor a --delta-base folder holds it, so applying "
                                  "it was not checked");
      continue;
    }
    problem = ApplyCheck(file, patch, baseEntry, localBase, options);
    if (!problem.empty()) {
      finding(Severity::kError, problem);
      continue;
    }
    ++applied;
  }
  if (answered > 0) std::cout << AppliedLine(answered, applied) << "\n";
}

}  // namespace publish
