#include "tools/publish/patch_lint.h"

#include <curl/curl.h>

#include <iostream>
#include <memory>

#include "tools/publish/delta_encoder.h"
#include "tools/publish/publish_crypto.h"
#include "updater/base/ini_text_reader.h"
#include "updater/base/manifest_patches.h"
#include "updater/base/text_rules.h"
#include "updater/transfer/md5.h"

namespace publish {
namespace {

struct CurlFree {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

struct Body {
  std::string bytes;
  std::size_t limit;
};

std::size_t Append(char* data, std::size_t size, std::size_t count, void* user) {
  Body& body = *static_cast<Body*>(user);
  if (body.bytes.size() + size * count > body.limit) return 0;  // ends the transfer
  body.bytes.append(data, size * count);
  return size * count;
}

// The body of a 2xx answer, at most limit bytes; an error text otherwise.
bool FetchBody(const std::string& url, std::size_t limit, std::string& bytes, std::string& error) {
  std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
  if (!curl) {
    error = "cannot start a transfer";
    return false;
  }
  Body body{std::string(), limit};
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_TIME, 60L);
  const CURLcode code = curl_easy_perform(curl.get());
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  if (code != CURLE_OK) {
    error = body.bytes.size() >= limit ? "longer than listed" : curl_easy_strerror(code);
    return false;
  }
  if (status < 200 || status > 299) {
    error = "HTTP status " + std::to_string(status);
    return false;
  }
  bytes = std::move(body.bytes);
  return true;
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
                         LintResult& result) {
  const IniTextReader reader(manifest);
  std::size_t checked = 0, applied = 0;
  for (const FileEntry& file : files) {
    const std::vector<FilePatch> patches = manifest::ReadFilePatches(reader, file.section, file.index);
    for (std::size_t j = 0; j < patches.size(); ++j) {
      const FilePatch& patch = patches[j];
      const std::string key = "FilePatchUrl" + std::to_string(file.index) + "_" + std::to_string(j);
      auto finding = [&](Severity severity, const std::string& message) {
        result.findings.push_back(Finding{severity, file.section, key, patch.url + ": " + message});
      };
      ++checked;
      std::string bytes, error;
      if (!FetchBody(patch.url, patch.length < kLargestFile ? patch.length + 1 : kLargestFile, bytes,
                     error)) {
        finding(Severity::kError, error);
        continue;
      }
      if (bytes.size() != patch.length) {
        finding(Severity::kError,
                std::to_string(bytes.size()) + " bytes, not the listed " + std::to_string(patch.length));
        continue;
      }
      if (!HashMatches(HexText(Sha256(bytes)), patch.sha256)) {
        finding(Severity::kError, "its SHA-256 is not the listed one");
        continue;
      }
      const FileEntry* baseEntry = BaseEntry(files, file, patch);
      if (baseEntry == nullptr) {
        finding(Severity::kWarning, "no release serves its base, so applying it was not checked");
        continue;
      }
      std::string base, target;
      if (!FetchBody(baseEntry->url, kLargestFile, base, error) ||
          !FetchBody(file.url, kLargestFile, target, error)) {
        finding(Severity::kError, "its base or its file cannot be fetched: " + error);
        continue;
      }
      if (!delta::PatchMakesTarget(AsBytes(bytes), AsBytes(base), AsBytes(target))) {
        finding(Severity::kError, "applied to its base it does not make " + file.url);
        continue;
      }
      ++applied;
    }
  }
  if (checked > 0) {
    std::cout << "fetched " << checked << " patch(es): " << applied
              << " applied to their bases make their files\n";
  }
}

}  // namespace publish
