#include "updater/core/update_job.h"

#include "updater/core/install_paths.h"

bool UpdateJob::DownloadManifest(const std::string& url) {
  if (url.empty()) return false;
  historyPath = exeFolder + install_paths::kHistoryFileName;
  try {
    if (!DownloadFile(historyPath, url)) return false;
    // With keys built in, a manifest counts as fetched only once its signature
    // has been fetched and checked too.
    return manifestKeys.empty() || DownloadManifestSignature(url);
  } catch (const TransferError&) {
    return false;
  }
}
