#pragma once
// WinINet's blocking calls made cancellable where closing a handle does not
// abort them (Wine's WinINet neither aborts a blocked InternetOpenUrlA,
// InternetReadFile or InternetQueryDataAvailable on a close from another
// thread, nor passes a session's time-outs on to its requests): the calls that
// wait for the server run on a thread of their own that a cancel leaves
// behind, and the time-outs, set on every request, end them.
//
// Threads: everything here runs on the downloading thread but the calls handed
// to BlockingCallThread, and cancel events set from any thread.

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "updater/base/scoped_handle.h"
#include "updater/transfer/download_rules.h"

struct InternetHandleTraits {
  using Handle = HINTERNET;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { InternetCloseHandle(handle); }
};
using UniqueInternet = ScopedHandle<InternetHandleTraits>;

// Sets the connect, send and receive time-outs on handle.
void SetTimeouts(HINTERNET handle, const TransferTimeouts& timeouts);

// The session's status callback that gives each handle opening a URL creates
// the time-outs its context points to (a TransferTimeouts), before it connects.
void CALLBACK PassTimeoutsOn(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD);

// The thread that makes a job's blocking WinINet calls, one at a time, while
// the worker waits for the call's end or for a cancel. Starting a thread per
// call cost about a millisecond, several times a file. A call that
// a cancel leaves behind ends by itself at the session's time-outs; then the
// thread ends too. Nothing waits for it: what it uses lives in Shared.
class BlockingCallThread {
 public:
  BlockingCallThread() = default;
  BlockingCallThread(const BlockingCallThread&) = delete;
  BlockingCallThread& operator=(const BlockingCallThread&) = delete;
  ~BlockingCallThread() {
    if (!shared_) return;
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->quit = true;
    SetEvent(shared_->wake.get());
  }

  // Runs task on the thread; done() is signalled when it has run. False when
  // no thread could be made, or a call left behind by a cancel still runs.
  bool Start(std::function<void()> task) {
    if (!shared_ && !Launch()) return false;
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->busy) return false;
    shared_->busy = true;
    shared_->task = std::move(task);
    SetEvent(shared_->wake.get());
    return true;
  }

  HANDLE done() const { return shared_->done.get(); }

 private:
  struct Shared {
    UniqueHandle wake{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    UniqueHandle done{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    std::mutex mutex;  // guards task, busy and quit
    std::function<void()> task;
    bool busy = false;
    bool quit = false;
  };

  static DWORD WINAPI Loop(void* parameter) {
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

  bool Launch() {
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

  std::shared_ptr<Shared> shared_;
};

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
    if (shared.discard) shared.discard(result);
  } else {
    shared.result = result;
  }
}

// Runs call and waits for its end or for cancelled, whichever comes first.
// A cancel ends the wait at once even where closing the handle does not abort
// the call; the call left behind ends by itself at the time-outs. nullopt when
// the cancel came first (or the call could not be started).
template <typename Result>
std::optional<Result> RunUnlessCancelled(BlockingCallThread& thread, std::function<Result()> call,
                                         std::function<void(Result)> discard, HANDLE cancelled) {
  const auto shared = std::make_shared<DetachableCall<Result>>();
  shared->call = std::move(call);
  shared->discard = std::move(discard);
  if (!thread.Start([shared] { RunDetachableCall(*shared); })) return std::nullopt;
  const HANDLE waits[] = {thread.done(), cancelled};
  const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  std::lock_guard<std::mutex> lock(shared->mutex);
  if (woke == WAIT_OBJECT_0) return shared->result;
  shared->abandoned = true;
  // The call may have ended just as the cancel came.
  if (shared->result && shared->discard) shared->discard(*shared->result);
  return std::nullopt;
}

// Opens url on session with the extra headers (may be empty); the request,
// null when opening failed, or nullopt on a cancel.
std::optional<HINTERNET> OpenUrlUnlessCancelled(BlockingCallThread& thread, HINTERNET session,
                                                const std::string& url, const std::string& headers,
                                                const TransferTimeouts& timeouts, HANDLE cancelled);

struct DataAvailable {
  bool ok = false;
  DWORD bytes = 0;
};

// Waits for more of the body; nullopt on a cancel.
std::optional<DataAvailable> QueryDataUnlessCancelled(BlockingCallThread& thread, HINTERNET request,
                                                      HANDLE cancelled);
// Reads the body in chunks as one blocking InternetReadFile of the chunk's size
// each would give them: the buffer filled, or what was left before the end
// (count 0 at the end). A whole blocking read is the fastest, but where closing
// the handle does not end a read already blocked on it, a cancel would wait
// for a whole chunk to arrive. So while the body arrives slowly, a chunk is
// gathered piece by piece, each piece awaited with InternetQueryDataAvailable
// on the blocking-call thread, which a cancel leaves behind; after a chunk
// that came quickly the next one is read whole.
class ChunkReader {
 public:
  ChunkReader(BlockingCallThread& thread, HINTERNET request, const std::atomic<bool>& cancelled,
              HANDLE cancelEvent)
      : thread_(thread), request_(request), cancelled_(cancelled), cancelEvent_(cancelEvent) {}

  // False on a read error. The pieces gathered before an error are handed
  // over first, and the error comes with the next call.
  bool Read(char* buffer, DWORD size, DWORD& count) {
    if (failed_) return false;
    const ULONGLONG start = GetTickCount64();
    const bool ok = wholeReads_ ? InternetReadFile(request_, buffer, size, &count) != FALSE
                                : ReadInPieces(buffer, size, count);
    wholeReads_ = GetTickCount64() - start <= kQuickChunkMs;
    return ok;
  }

 private:
  // A chunk that takes longer than this makes the next one come in pieces.
  static constexpr ULONGLONG kQuickChunkMs = 50;

  bool ReadInPieces(char* buffer, DWORD size, DWORD& count) {
    count = 0;
    while (count < size && !cancelled_) {
      const std::optional<DataAvailable> waited = QueryDataUnlessCancelled(thread_, request_, cancelEvent_);
      if (!waited) break;  // cancelled: the caller's flag decides
      if (!waited->ok) return Failed(count);
      const DWORD available = waited->bytes;
      if (available == 0) break;
      DWORD piece = 0;
      if (!InternetReadFile(request_, buffer + count, available < size - count ? available : size - count,
                            &piece)) {
        return Failed(count);
      }
      if (piece == 0) break;
      count += piece;
    }
    return true;
  }

  // What a read error gives: the pieces so far, if any, then false.
  bool Failed(DWORD count) {
    failed_ = true;
    return count > 0;
  }

  BlockingCallThread& thread_;
  HINTERNET request_;
  bool failed_ = false;
  const std::atomic<bool>& cancelled_;
  HANDLE cancelEvent_;
  bool wholeReads_ = false;  // unknown speed: the first chunk comes in pieces
};
