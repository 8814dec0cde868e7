#pragma once
// The download client: one URL into one file over WinINet, each piece of the
// body written as it comes, with a progress report per kTransferChunkBytes
// (the transfer buffer's size). An attempt that ends early is
// continued from the bytes already written (Range, guarded by If-Range with the
// first answer's validator); the attempts are counted by AttemptBudget. It
// knows nothing of the update that uses it; progress goes to a
// DownloadProgress, the bytes themselves also to a DownloadSink.
//
// Threads: one client runs one download at a time, on one thread; several
// clients may run side by side. Cancel may be called from any other thread.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "updater/base/scoped_handle.h"
#include "updater/transfer/held_file.h"
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
  // One more chunk is written (or the rest of one, as the attempt ends);
  // bytes received so far, capped at INT32_MAX.
  virtual void Received(int32_t bytesSoFar) = 0;
  // The whole body is written and its length matches the announced one.
  virtual void Finished(int32_t bytes) = 0;
};

// Sees every byte of the body in order as it is written, so that a file's
// digests come from the bytes that arrived, never from a second read.
class DownloadSink {
 public:
  virtual ~DownloadSink() = default;
  // The body starts again from its first byte: forget everything added.
  virtual void Restart() = 0;
  virtual void Add(const char* data, std::size_t size) = 0;
};

// One file's download across its attempts. The file is created at the first
// answer that is accepted (never for a refused one) and stays open in file:
// others may read it, but not write, rename or delete it, until its owner lets
// it go. A caller that continues a file kept from an earlier run opens it into
// file and sets kept, total and validator (and feeds the kept bytes to sink).
struct FileDownload {
  std::string path;
  // A larger announced length fails at once; the body is never written past
  // its announced length.
  int64_t maxLength = 0;
  DownloadSink* sink = nullptr;  // may be null
  HeldFile file;
  int64_t kept = 0;       // bytes of the body at the start of file
  int64_t total = -1;     // the whole body's length as announced; -1 unknown
  std::string validator;  // ETag or Last-Modified of the answer that began it
};

struct DownloadClientState;
class SharedLine;

class DownloadClient {
 public:
  DownloadClient();
  ~DownloadClient();
  DownloadClient(const DownloadClient&) = delete;
  DownloadClient& operator=(const DownloadClient&) = delete;

  // The whole body of url into download.file, in as many attempts as
  // AttemptBudget and bounds allow, kAttemptPauseMs apart; none after a
  // cancel or after a refusal (a length over the maximum, a redirect from
  // https to http, a file behind its floor throughput or written past three
  // times its length).
  // False leaves in download what was kept. May raise TransferError (a file
  // that cannot be written).
  bool Fetch(FileDownload& download, const std::string& url, DownloadProgress* progress);

  // Fetch into a new file at localPath (or where the bz2 rule puts it),
  // closed again at the end. progress may be null.
  bool DownloadFile(const std::string& localPath, const std::string& url, DownloadProgress* progress,
                    int64_t maxLength, Bz2Target rule = Bz2Target::UrlName);
  // One attempt only.
  bool DownloadOnce(const std::string& localPath, const std::string& url, DownloadProgress* progress,
                    int64_t maxLength, Bz2Target rule = Bz2Target::UrlName);

  // A cancel of this client cancels follower too (at once when this one is
  // cancelled already), until follower is removed. Any thread.
  void AddFollower(DownloadClient* follower);
  void RemoveFollower(DownloadClient* follower);

  // Makes the transfer in progress and every later attempt fail (false, no
  // further report) and returns at once: it closes the open request and
  // session, so that a blocked read returns, and ends the waits that a closed
  // handle does not end. The downloading thread may be inside a progress
  // report that waits for the caller's thread; Cancel itself never waits.
  void Cancel();
  bool cancelled() const;
  // Waits up to ms for Cancel, on any thread; true once cancelled.
  bool WaitForCancel(uint32_t ms) const;

  // The time-outs of every attempt, and the bounds of every file's time and
  // bytes; set before the first download.
  TransferTimeouts timeouts = kDefaultTransferTimeouts;
  TransferBounds bounds = kDefaultTransferBounds;
  // The line this client's files share with other clients' (the download
  // queue's transfers): its bounds and bytes then hold the floor for all of
  // them at once (shared_line.h). Null: each file is held to bounds alone.
  // Set before the first download; it outlives them.
  SharedLine* line = nullptr;
  // Header lines ("Name: value\r\n" each) sent with every request besides the
  // client's own; set between downloads.
  std::string extraHeaders;

 private:
  // Made with the client, so that Cancel never races the downloading thread
  // to create it.
  std::unique_ptr<DownloadClientState> state_;
};
