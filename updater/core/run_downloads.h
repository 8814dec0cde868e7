#pragma once
// What the steps of one run share: the job's download client, whose cancel
// reaches every transfer of the run, and the observer that shows the run
// (null: nothing is shown). A download made here reports to the observer's
// row of its file, named by its display path below the temporary folder.
// Worker thread, except where a comment says otherwise.

#include <cstdint>
#include <string>

#include "updater/core/update_observer.h"
#include "updater/transfer/download_client.h"

class RunDownloads {
 public:
  RunDownloads(DownloadClient& client, UpdateObserver* observer, std::string tempFolder)
      : client_(client), observer_(observer), tempFolder_(std::move(tempFolder)) {}

  DownloadClient& client() const { return client_; }
  UpdateObserver* observer() const { return observer_; }
  // Any thread.
  bool Cancelled() const { return client_.cancelled(); }
  // Waits up to ms for a cancel; true when the run has been cancelled.
  bool WaitForCancel(uint32_t ms) const { return client_.WaitForCancel(ms); }

  // The attempts that AttemptBudget allows, continuing a cut body; a body
  // longer than maxLength fails before it is written. May raise TransferError.
  bool DownloadFile(const std::string& localPath, const std::string& url, int64_t maxLength,
                    Bz2Target rule = Bz2Target::UrlName) const;
  // One attempt. May raise TransferError.
  bool DownloadOnce(const std::string& localPath, const std::string& url) const;

 private:
  DownloadClient& client_;
  UpdateObserver* observer_;
  std::string tempFolder_;
};
