#include "updater/core/update_job.h"

#include "updater/core/install_paths.h"

bool UpdateJob::DownloadManifest(const std::string& url) {
  if (url.empty()) return false;
  historyPath = exeFolder + install_paths::kHistoryFileName;
  try {
    return DownloadFile(historyPath, url);
  } catch (const TransferError&) {
    return false;
  }
}
