#include "updater/core/update_job.h"

#include "updater/core/install_paths.h"

bool UpdateJob::DownloadManifest(const std::string& url) {
  if (url.empty()) return false;
  historyPath = exeFolder + install_paths::kHistoryFileName;
  try {
    // Whatever the URL's name, the manifest is stored where the run reads and
    // later deletes it.
    return DownloadFile(historyPath, url, Bz2Target::LocalPath);
  } catch (const TransferError&) {
    return false;
  }
}
