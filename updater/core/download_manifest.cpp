#include "updater/core/update_job.h"

#include "updater/core/install_paths.h"

bool UpdateJob::DownloadManifest(const std::string& url) {
  if (url.empty()) return false;
  historyPath = exeFolder + install_paths::kHistoryFileName;
  try {
    // Whatever the URL's name, the manifest is stored where the run reads and
    // later deletes it.
    if (!DownloadFile(historyPath, url, kManifestMaxBytes, Bz2Target::LocalPath)) return false;
    // With keys built in, a manifest counts as fetched only once its signature
    // has been fetched and checked too.
    return manifestKeys.empty() || DownloadManifestSignature(url);
  } catch (const TransferError&) {
    return false;
  }
}
