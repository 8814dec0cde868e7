#pragma once
// What a download client's attempts share with its Cancel, which runs on
// another thread: the cancel flag and event, and the attempt's open WinINet
// handles, which whoever gets to them first closes under the mutex.

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "updater/base/scoped_handle.h"
#include "updater/transfer/blocking_calls.h"
#include "updater/transfer/download_rules.h"
#include "updater/transfer/shared_line.h"

class DownloadClient;

struct DownloadClientState {
  std::atomic<bool> cancelled{false};
  int attempt = 1;  // of Fetch's attempts, for the run log
  // The file being fetched (downloading thread only): its bounds, the line it
  // shares with other transfers (null when alone), when its first request
  // went out, the bytes written for it, and whether the last attempt dropped
  // the bytes kept before it.
  TransferBounds bounds = kDefaultTransferBounds;
  SharedLine* line = nullptr;
  ULONGLONG fileStart = 0;
  int64_t written = 0;
  bool restarted = false;
  // Set with cancelled, for the waits that a closed handle does not end.
  UniqueHandle cancelEvent{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  BlockingCallThread blockingCalls;  // downloading thread only
  std::mutex handlesMutex;           // guards session and request
  // The session lives as long as the client, so that its connections are
  // kept alive from one attempt and one file to the next.
  UniqueInternet session;
  UniqueInternet request;
  std::mutex followersMutex;  // guards followers
  std::vector<DownloadClient*> followers;

  // Makes handle the attempt's *slot; false, with the handle closed, when a
  // cancel came first.
  bool Adopt(UniqueInternet DownloadClientState::*slot, HINTERNET handle) {
    UniqueInternet adopted(handle);
    std::lock_guard<std::mutex> lock(handlesMutex);
    if (cancelled) return false;
    (this->*slot) = std::move(adopted);
    return true;
  }

  void BeginFile(const TransferBounds& fileBounds, SharedLine* fileLine) {
    bounds = fileLine != nullptr ? fileLine->bounds() : fileBounds;
    line = fileLine;
    fileStart = GetTickCount64();
    if (line != nullptr) line->BeginFile(fileStart);
    written = 0;
    restarted = false;
  }
  void AddWritten(int64_t count) {
    written += count;
    if (line != nullptr) line->Add(count);
  }
  // When the file must have brought more bytes than it has, or end: on a
  // shared line, when the line must have (shared_line.h). Other transfers'
  // bytes move it on during a wait.
  ULONGLONG DueTick() const { return line != nullptr ? line->DueAtMs() : fileStart + DueMs(bounds, written); }
  bool Overdue() const { return GetTickCount64() >= DueTick(); }

  HINTERNET Session() {
    std::lock_guard<std::mutex> lock(handlesMutex);
    return session.get();
  }

  void CloseRequest() {
    std::lock_guard<std::mutex> lock(handlesMutex);
    request.reset();
  }

  // The request first: it is the session's child.
  void CloseAll() {
    std::lock_guard<std::mutex> lock(handlesMutex);
    request.reset();
    session.reset();
  }

  // Closes the request of an attempt however it ends.
  class AttemptRequest {
   public:
    explicit AttemptRequest(DownloadClientState& state) : state_(state) {}
    AttemptRequest(const AttemptRequest&) = delete;
    AttemptRequest& operator=(const AttemptRequest&) = delete;
    ~AttemptRequest() { state_.CloseRequest(); }

   private:
    DownloadClientState& state_;
  };
};
