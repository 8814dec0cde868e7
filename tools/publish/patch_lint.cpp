#include "tools/publish/patch_lint.h"

#include <iostream>
#include <memory>
#include <set>

#include "tools/publish/delta_encoder.h"
#include "tools/publish/publish_crypto.h"
#include "updater/base/ini_text_reader.h"
#include "updater/base/manifest_patches.h"
#include "updater/base/text_rules.h"
#include "updater/transfer/md5.h"

namespace publish {
namespace {

// The bodies the apply check needs, one at a time, under the timeouts and
// the silent-host rule of the patches' own fetches.
class BodyFetcher {
 public:
  BodyFetcher(long timeoutSec, std::set<std::string> silentHosts)
      : timeoutSec_(timeoutSec), silentHosts_(std::move(silentHosts)) {}

  // The body of a 2xx answer, at most limit bytes; an error text otherwise.
  bool Fetch(const std::string& url, std::size_t limit, std::string& bytes, std::string& error);

 private:
  long timeoutSec_;
  std::set<std::string> silentHosts_;
};

bool BodyFetcher::Fetch(const std::string& url, std::size_t limit, std::string& bytes, std::string& error) {
  const std::string host = HostOf(url);
  if (!host.empty() && silentHosts_.count(host)) {
    error = SilentHostError(host);
    return false;
  }
  bool timedOut = false;
  if (FetchBody(url, limit, timeoutSec_, bytes, error, &timedOut)) return true;
  if (timedOut && !host.empty()) silentHosts_.insert(host);
  return false;
}

std::vector<unsigned char> AsBytes(const std::string& text) { return {text.begin(), text.end()}; }

// The entry of the same FilePath whose file is the patch's base, or null.
const FileEntry* BaseEntry(const std::vector<FileEntry>& files, const FileEntry& file,
                           const FilePatch& patch) {
  for (const FileEntry& other : files) {
    if (other.filePath == file.filePath && HashMatches(other.sha256, patch.baseSha256)) return &other;
  }
  return nullptr;
}

constexpr std::size_t kLargestFile = std::size_t{1} << 31;

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
  const auto outcomes = FetchAll(urls, options.jobs, options.progress, options.timeoutSec, options.timeoutSec);
  std::set<std::string> silentHosts;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    if (outcomes[i].timedOut || outcomes[i].error == SilentHostError(HostOf(urls[i]))) {
      silentHosts.insert(HostOf(urls[i]));
    }
  }
  BodyFetcher fetcher(options.timeoutSec, std::move(silentHosts));
  std::size_t applied = 0;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const FileEntry& file = *listed[i].file;
    const FilePatch& patch = listed[i].patch;
    const FetchOutcome& got = outcomes[i];
    auto finding = [&](Severity severity, const std::string& message) {
      result.findings.push_back(Finding{severity, file.section, listed[i].key, patch.url + ": " + message});
    };
    if (!got.error.empty()) {
      finding(Severity::kError, got.error);
      continue;
    }
    if (got.status < 200 || got.status > 299) {
      finding(Severity::kError, "HTTP status " + std::to_string(got.status));
      continue;
    }
    if (got.body.size != patch.length) {
      finding(Severity::kError,
              std::to_string(got.body.size) + " bytes, not the listed " + std::to_string(patch.length));
      continue;
    }
    if (!HashMatches(got.body.sha256, patch.sha256)) {
      finding(Severity::kError, "its SHA-256 is not the listed one");
      continue;
    }
    const FileEntry* baseEntry = BaseEntry(files, file, patch);
    if (baseEntry == nullptr) {
      finding(Severity::kWarning, "no release serves its base, so applying it was not checked");
      continue;
    }
    std::string bytes, base, target, error;
    if (!fetcher.Fetch(patch.url, patch.length < kLargestFile ? patch.length + 1 : kLargestFile, bytes, error) ||
        !fetcher.Fetch(baseEntry->url, kLargestFile, base, error) ||
        !fetcher.Fetch(file.url, kLargestFile, target, error)) {
      finding(Severity::kError, "the patch, its base or its file cannot be fetched: " + error);
      continue;
    }
    if (!delta::PatchMakesTarget(AsBytes(bytes), AsBytes(base), AsBytes(target))) {
      finding(Severity::kError, "applied to its base it does not make " + file.url);
      continue;
    }
    ++applied;
  }
  std::cout << "fetched " << listed.size() << " patch(es): " << applied
            << " applied to their bases make their files\n";
}

}  // namespace publish
