// The download client over WinINet.
//
// A download survives a line that drops: an attempt that ends early (a cut
// connection, a time-out, a short body) is continued by the next from the
// bytes already written, with Range guarded by If-Range, so a server whose
// body changed answers 200 and the file starts again from its first byte.
// Attempts that bring new bytes are free, three that bring nothing (a body
// that starts again from its first byte brings nothing) end the download, and
// AttemptBudget caps the whole at 6 + length / 64 KiB attempts, each ended by
// the time-outs when the line goes quiet. Whatever the server does, a file
// also ends in bounded time and bytes (TransferBounds): once a grace period
// has passed it must keep up a floor throughput (the files of a shared line
// keep it up together: shared_line.h), and it stops when the bytes written for
// it pass three times its length (a whole body for each attempt). The
// client's session lives as long as the client, so its connections are kept
// alive from one file to the next, and it takes the system's proxy settings
// for every request. Certificates are always checked in full: no flag or
// option here relaxes them. The client follows each redirect itself, so one
// from https to http is refused before any request goes out in clear.
//
// Threads: DownloadFile and DownloadOnce run on the worker thread; Cancel runs
// on the user-interface thread. The two meet only in the client's state: the cancel
// flag, and the attempt's open WinINet handles, which whoever gets to them
// first closes under the mutex. Closing a handle from another thread is how
// WinINet aborts a call blocked on it, but not every WinINet does: Wine's
// neither aborts a blocked InternetOpenUrlA, InternetReadFile or
// InternetQueryDataAvailable, nor passes a session's time-outs on to its
// requests. So the opening of the session (which finds out the proxy), the
// waits for the server's answer and the reads of the body run on a thread of
// the client's own (blocking_calls.h), whose wait a cancel or a
// file's due time ends at once, leaving the call behind; the time-outs, set on
// every request, end it. The worker itself never blocks on the network.

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <optional>

#include "updater/transfer/download_client.h"

#include "updater/transfer/download_attempt.h"
#include "updater/transfer/download_client_state.h"

DownloadClient::DownloadClient() : state_(std::make_unique<DownloadClientState>()) {}
DownloadClient::~DownloadClient() = default;

void DownloadClient::Cancel() {
  state_->cancelled = true;
  SetEvent(state_->cancelEvent.get());
  state_->CloseAll();
  std::lock_guard<std::mutex> lock(state_->followersMutex);
  for (DownloadClient* follower : state_->followers) follower->Cancel();
}

void DownloadClient::AddFollower(DownloadClient* follower) {
  std::lock_guard<std::mutex> lock(state_->followersMutex);
  state_->followers.push_back(follower);
  if (state_->cancelled) follower->Cancel();
}

void DownloadClient::RemoveFollower(DownloadClient* follower) {
  std::lock_guard<std::mutex> lock(state_->followersMutex);
  auto& followers = state_->followers;
  followers.erase(std::remove(followers.begin(), followers.end(), follower), followers.end());
}

bool DownloadClient::cancelled() const { return state_->cancelled; }

bool DownloadClient::WaitForCancel(uint32_t ms) const {
  // Without its event the pause still lasts ms.
  if (WaitForSingleObject(state_->cancelEvent.get(), ms) == WAIT_FAILED) Sleep(ms);
  return cancelled();
}

bool DownloadClient::Fetch(FileDownload& download, const std::string& url, DownloadProgress* progress) {
  AttemptBudget budget;
  state_->BeginFile(bounds, line);
  for (int attempt = 1;; ++attempt) {
    state_->attempt = attempt;
    state_->restarted = false;
    const AttemptOutcome outcome = DownloadAttempt(*state_, timeouts, extraHeaders, download, url, progress).Run();
    state_->attempt = 1;
    if (outcome == AttemptOutcome::Complete) return true;
    if (outcome == AttemptOutcome::Refused || state_->cancelled) return false;
    if (!budget.AfterAttempt(download.kept, download.total, state_->restarted)) return false;
    if (WaitForCancel(kAttemptPauseMs)) return false;
  }
}

bool DownloadClient::DownloadFile(const std::string& localPath, const std::string& url,
                                  DownloadProgress* progress, int64_t maxLength, Bz2Target rule) {
  // A bz2 URL names the file it is stored as; a name that could leave the
  // folder gets no request at all.
  std::optional<std::string> target = DownloadTarget(localPath, url, rule);
  if (!target || state_->cancelled) return false;
  FileDownload download;
  download.path = *target;
  download.maxLength = maxLength;
  return Fetch(download, url, progress);
}

bool DownloadClient::DownloadOnce(const std::string& localPath, const std::string& url,
                                  DownloadProgress* progress, int64_t maxLength, Bz2Target rule) {
  std::optional<std::string> target = DownloadTarget(localPath, url, rule);
  if (!target) return false;
  FileDownload download;
  download.path = *target;
  download.maxLength = maxLength;
  state_->BeginFile(bounds, line);
  return DownloadAttempt(*state_, timeouts, extraHeaders, download, url, progress).Run() == AttemptOutcome::Complete;
}
