#include "updater/transfer/blocking_calls.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "updater/base/run_log.h"

struct BlockingCallThread::Shared {
  UniqueHandle wake{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  UniqueHandle done{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  std::mutex mutex;  // guards task, busy and quit
  std::function<void()> task;
  bool busy = false;
  bool quit = false;
};

DWORD WINAPI BlockingCallThread::Loop(void* parameter) {
  const std::unique_ptr<std::shared_ptr<Shared>> owner(static_cast<std::shared_ptr<Shared>*>(parameter));
  Shared& shared = **owner;
  for (;;) {
    WaitForSingleObject(shared.wake.get(), INFINITE);
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> lock(shared.mutex);
      if (!shared.busy) {
        if (shared.quit) return 0;
        continue;
      }
      task = std::move(shared.task);
    }
    task();
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.busy = false;
    SetEvent(shared.done.get());
    if (shared.quit) return 0;
  }
}

bool BlockingCallThread::Start(std::function<void()> task) {
  if (shared_ && Busy()) LeaveBehind();
  if (!shared_ && !Launch()) return false;
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->busy = true;
  shared_->task = std::move(task);
  SetEvent(shared_->wake.get());
  return true;
}

HANDLE BlockingCallThread::done() const { return shared_->done.get(); }

bool BlockingCallThread::Busy() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->busy;
}

void BlockingCallThread::LeaveBehind() {
  if (!shared_) return;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->quit = true;
    SetEvent(shared_->wake.get());
  }
  shared_.reset();
}

bool BlockingCallThread::Launch() {
  auto shared = std::make_shared<Shared>();
  if (!shared->wake || !shared->done) return false;
  auto* parameter = new std::shared_ptr<Shared>(shared);
  const UniqueHandle thread(CreateThread(nullptr, 0, Loop, parameter, 0, nullptr));
  if (!thread) {
    delete parameter;
    return false;
  }
  shared_ = std::move(shared);
  return true;
}

namespace {

// A call that may wait for the server as long as the time-outs allow, run on
// the blocking-call thread. What the call uses lives here, shared with the
// worker, so that a worker that stops waiting (cancel) leaves nothing behind
// that the call still needs; the call then hands its result to discard.
template <typename Result>
struct DetachableCall {
  std::function<Result()> call;
  std::function<void(Result)> discard;
  std::mutex mutex;  // guards result and abandoned
  std::optional<Result> result;
  bool abandoned = false;
};

template <typename Result>
void RunDetachableCall(DetachableCall<Result>& shared) {
  Result result = shared.call();
  std::lock_guard<std::mutex> lock(shared.mutex);
  if (shared.abandoned) {
    if (shared.discard) shared.discard(std::move(result));
  } else {
    shared.result = std::move(result);
  }
}

// Runs call and waits for its end, for cancelled or for waitMs, whichever
// comes first. A cancel ends the wait at once even where closing the handle
// does not abort the call; the call left behind ends by itself at the
// time-outs. nullopt when the call did not end in time (or could not be
// started).
template <typename Result>
std::optional<Result> RunUnlessCancelled(BlockingCallThread& thread, std::function<Result()> call,
                                         std::function<void(Result)> discard, HANDLE cancelled,
                                         DWORD waitMs = INFINITE) {
  const auto shared = std::make_shared<DetachableCall<Result>>();
  shared->call = std::move(call);
  shared->discard = std::move(discard);
  if (!thread.Start([shared] { RunDetachableCall(*shared); })) return std::nullopt;
  const HANDLE waits[] = {thread.done(), cancelled};
  const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, waitMs);
  std::lock_guard<std::mutex> lock(shared->mutex);
  if (woke == WAIT_OBJECT_0) return std::move(shared->result);
  shared->abandoned = true;
  // The call may have ended just as the cancel came.
  if (shared->result && shared->discard) shared->discard(*shared->result);
  return std::nullopt;
}

}  // namespace

void SetTimeouts(HINTERNET handle, const TransferTimeouts& timeouts) {
  DWORD connect = timeouts.connectMs;
  DWORD send = timeouts.sendMs;
  DWORD receive = timeouts.receiveMs;
  InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &send, sizeof send);
  InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof receive);
}

// Gives each handle that opening the URL creates the session's time-outs, before
// it connects: not every WinINet passes them on from the session, and only a
// receive time-out set on the request ends the wait for a server that never
// answers. The context is the attempt's TransferTimeouts.
void CALLBACK PassTimeoutsOn(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD) {
  if (status != INTERNET_STATUS_HANDLE_CREATED || context == 0 || information == nullptr) return;
  const auto* created = static_cast<const INTERNET_ASYNC_RESULT*>(information);
  SetTimeouts(reinterpret_cast<HINTERNET>(created->dwResult),
              *reinterpret_cast<const TransferTimeouts*>(context));
}

std::optional<HINTERNET> OpenSessionUnlessCancelled(BlockingCallThread& thread, const std::string& agent,
                                                    HANDLE cancelled, DWORD waitMs) {
  auto open = [agent]() {
    HINTERNET session = InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr) run_log::Event("session").Error(GetLastError()).Failed("not opened");
    return session;
  };
  auto close = [](HINTERNET session) { const UniqueInternet closed(session); };
  return RunUnlessCancelled<HINTERNET>(thread, open, close, cancelled, waitMs);
}

std::optional<HINTERNET> OpenUrlUnlessCancelled(BlockingCallThread& thread, HINTERNET session,
                                                const std::string& url, const std::string& headers,
                                                const TransferTimeouts& timeouts, HANDLE cancelled,
                                                DWORD waitMs) {
  // The callback's context lives with the call, as long as its thread.
  auto open = [session, url, headers, timeouts]() {
    HINTERNET request = InternetOpenUrlA(session, url.c_str(), headers.empty() ? nullptr : headers.c_str(),
                                         static_cast<DWORD>(headers.size()), kOpenUrlFlags,
                                         reinterpret_cast<DWORD_PTR>(&timeouts));
    // The error is this thread's: said here, before it is lost.
    if (request == nullptr) run_log::Event("no_response").Add("url", url).Error(GetLastError());
    return request;
  };
  auto close = [](HINTERNET request) { const UniqueInternet closed(request); };
  return RunUnlessCancelled<HINTERNET>(thread, open, close, cancelled, waitMs);
}

namespace {

// What one hand-over of the body brought.
struct BodyPiece {
  bool ok = true;
  bool end = false;
  std::vector<char> bytes;
};

// On the blocking-call thread: at least want bytes of the body (fewer at its
// end or on an error), and then the rest of what was reported, up to most.
BodyPiece ReadReported(HINTERNET request, std::size_t want, std::size_t most, std::size_t whole,
                       const std::atomic<bool>& stop) {
  BodyPiece piece;
  if (whole > 0) {
    // A body that comes quickly: one read of many chunks is the fastest, and
    // it returns less only at the body's end.
    piece.bytes.resize(whole);
    DWORD got = 0;
    piece.ok = InternetReadFile(request, piece.bytes.data(), static_cast<DWORD>(whole), &got) != FALSE;
    piece.bytes.resize(piece.ok ? got : 0);
    piece.end = piece.ok && got < whole;
    return piece;
  }
  while (piece.bytes.size() < want && !stop) {
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0)) {
      piece.ok = false;
      return piece;
    }
    if (available == 0) {
      piece.end = true;
      return piece;
    }
    while (available > 0 && piece.bytes.size() < most && !stop) {
      const std::size_t at = piece.bytes.size();
      const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(available, most - at));
      piece.bytes.resize(at + asked);
      DWORD got = 0;
      const bool ok = InternetReadFile(request, piece.bytes.data() + at, asked, &got) != FALSE;
      piece.bytes.resize(at + (ok ? got : 0));
      if (!ok) {
        piece.ok = false;
        return piece;
      }
      if (got == 0) {
        piece.end = true;
        return piece;
      }
      available -= std::min(got, available);
    }
  }
  return piece;
}

}  // namespace

bool ChunkReader::Gather(std::size_t want, ULONGLONG dueTick, uint32_t floorBytesPerSecond) {
  const ULONGLONG now = GetTickCount64();
  const ULONGLONG left = now >= dueTick ? 0 : dueTick - now;
  const DWORD waitMs = static_cast<DWORD>(std::min<ULONGLONG>(left, INFINITE - 1));
  // A whole read is never longer than the floor throughput brings by the due
  // time, so a body that slows down is still read in pieces before it is late.
  std::size_t whole = 0;
  if (wholeReads_) {
    const ULONGLONG byDue = left / 1000 * floorBytesPerSecond + left % 1000 * floorBytesPerSecond / 1000;
    whole = static_cast<std::size_t>(std::min<ULONGLONG>(kGatherBytes, byDue));
    if (whole < want) whole = 0;
  }
  const auto stop = std::make_shared<std::atomic<bool>>(false);
  HINTERNET request = request_;
  std::optional<BodyPiece> piece = RunUnlessCancelled<BodyPiece>(
      thread_,
      [request, want, whole, stop]() {
        return ReadReported(request, want, std::max(want, kGatherBytes), whole, *stop);
      },
      nullptr, cancelEvent_, waitMs);
  if (!piece) {
    *stop = true;  // the thread left behind reads no further
    return false;
  }
  // Quick: at least a chunk's worth of bytes each kQuickChunkMs.
  const ULONGLONG took = GetTickCount64() - now;
  wholeReads_ = took * kTransferChunkBytes <= kQuickChunkMs * std::max<std::size_t>(piece->bytes.size(), 1);
  pending_ = std::move(piece->bytes);
  pendingAt_ = 0;
  ended_ = piece->end;
  readFailed_ = !piece->ok;
  return true;
}

bool ChunkReader::Read(char* buffer, DWORD size, DWORD& count, ULONGLONG dueTick, uint32_t floorBytesPerSecond) {
  count = 0;
  if (failed_) return false;
  while (count < size && !cancelled_) {
    if (pendingAt_ == pending_.size()) {
      if (readFailed_) return Failed(count);
      if (ended_) break;
      if (!Gather(size - count, dueTick, floorBytesPerSecond)) {
        if (cancelled_) break;  // the caller's flag decides
        timedOut_ = true;
        return Failed(count);
      }
      continue;
    }
    const std::size_t taken = std::min<std::size_t>(size - count, pending_.size() - pendingAt_);
    std::copy(pending_.begin() + pendingAt_, pending_.begin() + pendingAt_ + taken, buffer + count);
    pendingAt_ += taken;
    count += static_cast<DWORD>(taken);
  }
  return true;
}
