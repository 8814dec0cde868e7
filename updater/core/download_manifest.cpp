#include "updater/core/update_job.h"

#include <cstdio>

#include "updater/base/manifest_signature.h"
#include "updater/base/run_log.h"
#include "updater/core/install_paths.h"

namespace {

// Asked of every cache on the way; some ignore it, hence the query as well.
constexpr const char kPastCachesHeaders[] = "Cache-Control: no-cache\r\nPragma: no-cache\r\n";

// url with a query no cache has seen yet: caches key on the whole URL.
std::string CacheBusted(const std::string& url, const std::string& token) {
  return url + (url.find('?') == std::string::npos ? "?" : "&") + "nocache=" + token;
}

std::string FreshToken() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  char text[40];
  std::snprintf(text, sizeof text, "%08lx%08lx%lx", static_cast<unsigned long>(now.dwHighDateTime),
                static_cast<unsigned long>(now.dwLowDateTime), static_cast<unsigned long>(GetCurrentProcessId()));
  return text;
}

}  // namespace

bool UpdateJob::DownloadManifest(const std::string& url) {
  if (url.empty()) return false;
  historyPath = exeFolder + install_paths::kHistoryFileName;
  // The extra headers go with this manifest's second fetch only.
  struct Headers {
    DownloadClient& client;
    ~Headers() { client.extraHeaders.clear(); }
  } headers{downloads_};
  try {
    const std::string signatureUrl = url + manifest_signature::kFileSuffix;
    bool mismatch = false;
    if (FetchManifestOnce(url, signatureUrl, mismatch)) return true;
    if (!mismatch) return false;
    // A cache in front of the server may answer the manifest of one release
    // and the signature of the next: both once more, past every cache.
    const std::string token = FreshToken();
    run_log::Event("manifest_refetch").Add("url", CacheBusted(url, token));
    downloads_.extraHeaders = kPastCachesHeaders;
    return FetchManifestOnce(CacheBusted(url, token), CacheBusted(signatureUrl, token), mismatch);
  } catch (const TransferError&) {
    return false;
  }
}

bool UpdateJob::FetchManifestOnce(const std::string& url, const std::string& signatureUrl, bool& mismatch) {
  mismatch = false;
  ReleaseManifest();
  // Whatever the URL's name, the manifest is stored where the run reads and
  // later deletes it.
  if (!DownloadFile(historyPath, url, kManifestMaxBytes, Bz2Target::LocalPath)) return false;
  manifest_ = std::make_unique<ManifestFileReader>(historyPath);
  // With keys built in, a manifest counts as fetched only once its signature
  // has been fetched and checked too.
  return manifestKeys.empty() || DownloadManifestSignature(signatureUrl, mismatch);
}

const ManifestFileReader& UpdateJob::Manifest() {
  // Read on first use when the run did not download it (a stored manifest).
  if (!manifest_) manifest_ = std::make_unique<ManifestFileReader>(historyPath);
  return *manifest_;
}
