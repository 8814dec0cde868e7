#pragma once
// The download client: one URL into one file over WinINet, in chunks of
// kTransferChunkBytes, with progress reports and up to three attempts. It knows
// nothing of the update that uses it; progress goes to a DownloadProgress.
//
// Threads: DownloadFile and DownloadOnce run on one thread at a time (the
// update's worker); Cancel may be called from any other thread while they run.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "updater/transfer/download_rules.h"

// A failure of the platform while a download reads or writes data. Callers
// treat it as a failed download.
class TransferError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where one download reports, on the downloading thread.
class DownloadProgress {
 public:
  virtual ~DownloadProgress() = default;
  // The response is accepted: its announced length, and the progress bar's
  // step for one chunk of it (ProgressStep).
  virtual void Started(int32_t announcedLength, int32_t step) = 0;
  // One more chunk is written; bytes received so far, capped at INT32_MAX.
  virtual void Received(int32_t bytesSoFar) = 0;
  // The whole body is written and its length matches the announced one.
  virtual void Finished(int32_t bytes) = 0;
};

class DownloadClient {
 public:
  DownloadClient();
  ~DownloadClient();
  DownloadClient(const DownloadClient&) = delete;
  DownloadClient& operator=(const DownloadClient&) = delete;

  // Up to kDownloadAttempts of DownloadOnce, kAttemptPauseMs apart; none after
  // a cancel. Both may raise TransferError. progress may be null.
  bool DownloadFile(const std::string& localPath, const std::string& url, DownloadProgress* progress,
                    Bz2Target rule = Bz2Target::UrlName);
  bool DownloadOnce(const std::string& localPath, const std::string& url, DownloadProgress* progress,
                    Bz2Target rule = Bz2Target::UrlName);

  // Makes the transfer in progress and every later attempt fail (false, no
  // further report) and returns at once: it closes the open request and
  // session, so that a blocked read returns, and ends the waits that a closed
  // handle does not end. The downloading thread may be inside a progress
  // report that waits for the caller's thread; Cancel itself never waits.
  void Cancel();
  bool cancelled() const;

  // The time-outs of every attempt; set before the first download.
  TransferTimeouts timeouts = kDefaultTransferTimeouts;

 private:
  struct State;
  // Made with the client, so that Cancel never races the downloading thread
  // to create it.
  std::unique_ptr<State> state_;
};
