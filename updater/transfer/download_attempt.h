#pragma once
// One attempt of a download, as its steps: open the URL (following each
// redirect once it is known to be allowed), check the answer (status, length,
// range, limits), prepare the body (the kept bytes continued or dropped, the
// file created) and read it into the file and the sink. Each step ends the
// attempt with an outcome or lets the next one go on. Every attempt writes one
// "request" line to the run log, however it ends.
//
// Threads: the downloading thread; only the state's cancel comes from another.

#include <cstdint>
#include <optional>
#include <string>

#include <windows.h>
#include <wininet.h>

#include "updater/base/run_log.h"
#include "updater/transfer/download_client.h"
#include "updater/transfer/download_client_state.h"

enum class AttemptOutcome {
  Complete,  // the whole body is in the file
  Failed,    // another attempt may do better
  Refused,   // no attempt will: too long, https to http, too slow, written past its bound
};

class DownloadAttempt {
 public:
  DownloadAttempt(DownloadClientState& state, const TransferTimeouts& timeouts, const std::string& extraHeaders,
                  FileDownload& download, const std::string& url, DownloadProgress* progress);
  DownloadAttempt(const DownloadAttempt&) = delete;
  DownloadAttempt& operator=(const DownloadAttempt&) = delete;

  // May raise TransferError (a file that cannot be written or cut).
  AttemptOutcome Run();

 private:
  // What a step gives: nullopt to go on, or how the attempt ends.
  using Step = std::optional<AttemptOutcome>;
  Step OpenSession();
  Step Open();
  Step CheckAnswer();
  Step CheckRange(int64_t length);
  Step PrepareBody();
  AttemptOutcome ReadBody();
  // Writes count bytes of the body to the file and the sink.
  void Write(const char* data, DWORD count);
  // Reports each whole kTransferChunkBytes brought since the last report and,
  // with rest, what is left of them: reads give what came, and the progress
  // bar still steps once per chunk.
  void ReportReceived(bool rest);

  AttemptOutcome Fail(const char* reason);
  AttemptOutcome Refuse(const char* reason);
  // A file that fell behind its floor throughput makes no further attempt.
  AttemptOutcome Overdue();
  // A file never writes more than kWrittenLengths times its length.
  AttemptOutcome WrittenPast();
  // True, with the refusal logged, when going to `to` would take an https
  // download over plain http.
  bool Downgrades(const std::string& to);

  DownloadClientState& state_;
  const TransferTimeouts& timeouts_;
  const std::string& extraHeaders_;
  FileDownload& download_;
  const std::string& url_;
  DownloadProgress* const progress_;
  // The entry is written after the request is closed, as the members go.
  run_log::Event entry_{"request"};
  DownloadClientState::AttemptRequest closeRequest_;
  std::string resume_;  // the Range and If-Range lines, when bytes are kept
  HINTERNET request_ = nullptr;
  DWORD status_ = 0;
  bool continued_ = false;  // a 206 that continues the kept bytes
  int64_t total_ = 0;       // the whole body's length
  int32_t step_ = 0;        // the progress bar's step for one chunk
  int64_t reportedAt_ = 0;  // the bytes of the body the last report gave
};
