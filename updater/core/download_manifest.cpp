#include "updater/core/update_job.h"

bool UpdateJob::DownloadManifest(const std::string& url) {
  if (url.empty()) return false;
  historyPath = exeFolder + "HistoryVersionList.cfg";
  try {
    return DownloadFile(historyPath, url);
  } catch (const TransferError&) {
    return false;
  }
}
