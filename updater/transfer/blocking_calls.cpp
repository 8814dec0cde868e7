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

// Milliseconds from now to dueTick (GetTickCount64), for a wait; INFINITE for
// no due time.
DWORD WaitUntil(const std::function<ULONGLONG()>& dueTick) {
  if (!dueTick) return INFINITE;
  const ULONGLONG now = GetTickCount64();
  const ULONGLONG due = dueTick();
  return now >= due ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(due - now, INFINITE - 1));
}

// Runs call and waits for its end, for cancelled or for dueTick, whichever
// comes first; the due time is asked again when it comes, as other transfers
// may have moved it on meanwhile. A cancel ends the wait at once even where
// closing the handle does not abort the call; the call left behind ends by
// itself at the time-outs. nullopt when the call did not end in time (or could
// not be started).
template <typename Result>
std::optional<Result> RunUnlessCancelled(BlockingCallThread& thread, std::function<Result()> call,
                                         std::function<void(Result)> discard, HANDLE cancelled,
                                         const std::function<ULONGLONG()>& dueTick) {
  const auto shared = std::make_shared<DetachableCall<Result>>();
  shared->call = std::move(call);
  shared->discard = std::move(discard);
  if (!thread.Start([shared] { RunDetachableCall(*shared); })) return std::nullopt;
  const HANDLE waits[] = {thread.done(), cancelled};
  DWORD woke = WaitForMultipleObjects(2, waits, FALSE, WaitUntil(dueTick));
  while (woke == WAIT_TIMEOUT) {
    const DWORD more = WaitUntil(dueTick);
    if (more == 0) break;
    woke = WaitForMultipleObjects(2, waits, FALSE, more);
  }
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
                                                    HANDLE cancelled, const std::function<ULONGLONG()>& dueTick) {
  auto open = [agent]() {
    HINTERNET session = InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr) run_log::Event("session").Error(GetLastError()).Failed("not opened");
    return session;
  };
  auto close = [](HINTERNET session) { const UniqueInternet closed(session); };
  return RunUnlessCancelled<HINTERNET>(thread, open, close, cancelled, dueTick);
}

std::optional<HINTERNET> OpenUrlUnlessCancelled(BlockingCallThread& thread, HINTERNET session,
                                                const std::string& url, const std::string& headers,
                                                const TransferTimeouts& timeouts, HANDLE cancelled,
                                                const std::function<ULONGLONG()>& dueTick) {
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
  return RunUnlessCancelled<HINTERNET>(thread, open, close, cancelled, dueTick);
}

namespace {

// What one hand-over of the body brought. The blocking-call thread keeps each
// read's bytes here at once, and the worker takes them when the call ends or
// when its wait does: a piece cut short by the due time or a cancel still
// hands over every byte that came, and the call left behind keeps no more.
struct BodyPiece {
  std::mutex mutex;  // guards everything below
  bool taken = false;
  bool ok = true;
  bool end = false;
  std::vector<char> bytes;
};

bool Taken(BodyPiece& piece) {
  std::lock_guard<std::mutex> lock(piece.mutex);
  return piece.taken;
}

// Keeps bytes that came; false once the worker has taken the piece.
bool Keep(BodyPiece& piece, const char* data, std::size_t size) {
  std::lock_guard<std::mutex> lock(piece.mutex);
  if (piece.taken) return false;
  piece.bytes.insert(piece.bytes.end(), data, data + size);
  return true;
}

// The call ends with a read error (ok false) or at the body's end.
void Finish(BodyPiece& piece, bool ok, bool end) {
  std::lock_guard<std::mutex> lock(piece.mutex);
  piece.ok = ok;
  piece.end = end;
}

// On the blocking-call thread: the bytes of the body that come, into piece,
// until it holds want bytes (and then the rest of what was reported, up to
// most), or until the body's end or an error; a piece that began handOverMs
// ago returns with the next bytes, so a slow body's bytes go on without
// waiting for a whole chunk. With whole, one read of that many bytes.
void ReadReported(HINTERNET request, std::size_t want, std::size_t most, std::size_t whole,
                  ULONGLONG handOverMs, BodyPiece& piece) {
  std::vector<char> buffer;
  if (whole > 0) {
    // A body that comes quickly: one read of many chunks is the fastest, and
    // it returns less only at the body's end.
    buffer.resize(whole);
    DWORD got = 0;
    const bool ok = InternetReadFile(request, buffer.data(), static_cast<DWORD>(whole), &got) != FALSE;
    Keep(piece, buffer.data(), ok ? got : 0);
    return Finish(piece, ok, ok && got < whole);
  }
  const ULONGLONG start = GetTickCount64();
  std::size_t size = 0;
  while (!Taken(piece)) {
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0)) return Finish(piece, false, false);
    if (available == 0) return Finish(piece, true, true);
    while (available > 0 && size < most && !Taken(piece)) {
      const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(available, most - size));
      buffer.resize(asked);
      DWORD got = 0;
      if (!InternetReadFile(request, buffer.data(), asked, &got)) return Finish(piece, false, false);
      if (got == 0) return Finish(piece, true, true);
      if (!Keep(piece, buffer.data(), got)) return;
      size += got;
      available -= std::min(got, available);
    }
    if (size >= want || (size > 0 && GetTickCount64() - start >= handOverMs)) return;
  }
}

}  // namespace

void ChunkReader::Gather(std::size_t want, const std::function<ULONGLONG()>& dueTick,
                         uint32_t floorBytesPerSecond) {
  const ULONGLONG now = GetTickCount64();
  const ULONGLONG due = dueTick();
  const ULONGLONG left = now >= due ? 0 : due - now;
  // A whole read is never longer than the floor throughput brings by the due
  // time, so a body that slows down is still read in pieces before it is late.
  std::size_t whole = 0;
  if (wholeReads_) {
    const ULONGLONG byDue = left / 1000 * floorBytesPerSecond + left % 1000 * floorBytesPerSecond / 1000;
    whole = static_cast<std::size_t>(std::min<ULONGLONG>(kGatherBytes, byDue));
    if (whole < want) whole = 0;
  }
  const auto piece = std::make_shared<BodyPiece>();
  HINTERNET request = request_;
  const std::optional<bool> done = RunUnlessCancelled<bool>(
      thread_,
      [request, want, whole, piece]() {
        ReadReported(request, want, std::max(want, kGatherBytes), whole, kQuickChunkMs, *piece);
        return true;
      },
      nullptr, cancelEvent_, dueTick);
  std::lock_guard<std::mutex> lock(piece->mutex);
  piece->taken = true;  // a call left behind keeps no more
  pending_ = std::move(piece->bytes);
  pendingAt_ = 0;
  if (!done) {
    // Late (or no thread for the read): what came is handed over, then the
    // failure. After a cancel the caller's flag decides.
    timedOut_ = !cancelled_;
    readFailed_ = !cancelled_;
    return;
  }
  // Quick: at least a chunk's worth of bytes each kQuickChunkMs. A piece
  // handed over after kQuickChunkMs with less than a chunk never is.
  const ULONGLONG took = GetTickCount64() - now;
  wholeReads_ = took * kTransferChunkBytes <= kQuickChunkMs * std::max<std::size_t>(pending_.size(), 1);
  ended_ = piece->end;
  readFailed_ = !piece->ok;
}

bool ChunkReader::Read(char* buffer, DWORD size, DWORD& count, const std::function<ULONGLONG()>& dueTick,
                       uint32_t floorBytesPerSecond) {
  count = 0;
  if (pendingAt_ == pending_.size() && !readFailed_ && !ended_ && !cancelled_) {
    Gather(size, dueTick, floorBytesPerSecond);
  }
  if (pendingAt_ == pending_.size()) return !readFailed_;  // the end, an error, or a cancel
  const std::size_t taken = std::min<std::size_t>(size, pending_.size() - pendingAt_);
  std::copy(pending_.begin() + pendingAt_, pending_.begin() + pendingAt_ + taken, buffer);
  pendingAt_ += taken;
  count = static_cast<DWORD>(taken);
  return true;
}
