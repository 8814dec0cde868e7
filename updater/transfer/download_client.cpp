// The download client over WinINet.
//
// Threads: DownloadFile and DownloadOnce run on the worker thread; Cancel runs
// on the user-interface thread. The two meet only in State: the cancel
// flag, and the attempt's open WinINet handles, which whoever gets to them
// first closes under the mutex. Closing a handle from another thread is how
// WinINet aborts a call blocked on it, but not every WinINet does: Wine's
// neither aborts a blocked InternetOpenUrlA, InternetReadFile or
// InternetQueryDataAvailable, nor passes a session's time-outs on to its
// requests. So the waits for the server's answer and for more of a slow body
// run on a thread of the client's own that a cancel leaves behind, and the
// time-outs, set on every request, end them; a whole-chunk read of a fast body
// stays on the worker, so a body that stops right after coming quickly holds a
// cancel there until the receive time-out.

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <climits>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "updater/transfer/download_client.h"

#include "updater/base/module_path.h"
#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/base/text_rules.h"

namespace {

struct InternetHandleTraits {
  using Handle = HINTERNET;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { InternetCloseHandle(handle); }
};
using UniqueInternet = ScopedHandle<InternetHandleTraits>;

// The reason of a false result for a URL that gives no HTTP response. The user
// never sees it; it goes to the debugger's output.
constexpr char kNoHttpResponseText[] = "到指定服务器的连接建立失败...";

// Creates or truncates path for writing; others may read it but not write it.
UniqueFile CreateTargetFile(const std::string& path) {
  return UniqueFile(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

void WriteWhole(HANDLE file, const char* data, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(file, data, size, &written, nullptr) || written == 0) {
      run_log::Event("write_failed").Error(GetLastError());
      throw TransferError("writing the downloaded file failed");
    }
    data += written;
    size -= written;
  }
}

std::string OwnApplicationName() {
  char path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return ApplicationName(std::string(path, n < MAX_PATH ? n : 0), IsAnsiLeadByte);
}

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

// Opens url on session; the request, null when opening failed, or nullopt on a cancel.
std::optional<HINTERNET> OpenUrlUnlessCancelled(BlockingCallThread& thread, HINTERNET session,
                                                const std::string& url, const TransferTimeouts& timeouts,
                                                HANDLE cancelled) {
  // The callback's context lives with the call, as long as its thread.
  auto open = [session, url, timeouts]() {
    HINTERNET request = InternetOpenUrlA(session, url.c_str(), nullptr, 0, kOpenUrlFlags,
                                         reinterpret_cast<DWORD_PTR>(&timeouts));
    if (request == nullptr) run_log::Event("no_response").Add("url", url).Error(GetLastError());
    return request;
  };
  auto close = [](HINTERNET request) { const UniqueInternet closed(request); };
  return RunUnlessCancelled<HINTERNET>(thread, open, close, cancelled);
}

struct DataAvailable {
  bool ok = false;
  DWORD bytes = 0;
};

// Waits for more of the body; nullopt on a cancel.
std::optional<DataAvailable> QueryDataUnlessCancelled(BlockingCallThread& thread, HINTERNET request,
                                                      HANDLE cancelled) {
  auto query = [request]() {
    DataAvailable available;
    available.ok = InternetQueryDataAvailable(request, &available.bytes, 0, 0) != FALSE;
    return available;
  };
  return RunUnlessCancelled<DataAvailable>(thread, query, nullptr, cancelled);
}

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

  // False on a read error.
  bool Read(char* buffer, DWORD size, DWORD& count) {
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
      if (!waited->ok) return false;
      const DWORD available = waited->bytes;
      if (available == 0) break;
      DWORD piece = 0;
      if (!InternetReadFile(request_, buffer + count, available < size - count ? available : size - count,
                            &piece)) {
        return false;
      }
      if (piece == 0) break;
      count += piece;
    }
    return true;
  }

  BlockingCallThread& thread_;
  HINTERNET request_;
  const std::atomic<bool>& cancelled_;
  HANDLE cancelEvent_;
  bool wholeReads_ = false;  // unknown speed: the first chunk comes in pieces
};

int32_t ReportValue(int64_t bytes) { return bytes > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bytes); }

}  // namespace

struct DownloadClient::State {
  std::atomic<bool> cancelled{false};
  int attempt = 1;  // of DownloadFile's attempts, for the run log
  // Set with cancelled, for the waits that a closed handle does not end.
  UniqueHandle cancelEvent{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  BlockingCallThread blockingCalls;  // worker thread only
  std::mutex handlesMutex;           // guards session and request
  UniqueInternet session;
  UniqueInternet request;

  // Makes handle the attempt's *slot; false, with the handle closed, when a
  // cancel came first.
  bool Adopt(UniqueInternet State::*slot, HINTERNET handle) {
    UniqueInternet adopted(handle);
    std::lock_guard<std::mutex> lock(handlesMutex);
    if (cancelled) return false;
    (this->*slot) = std::move(adopted);
    return true;
  }

  void CloseRequest() {
    std::lock_guard<std::mutex> lock(handlesMutex);
    CloseLocked(&State::request);
  }

  // The request first: it is the session's child.
  void CloseAll() {
    std::lock_guard<std::mutex> lock(handlesMutex);
    CloseLocked(&State::request);
    CloseLocked(&State::session);
  }

  // Closes whatever handles an attempt still holds when it ends, however it ends.
  class AttemptHandles {
   public:
    explicit AttemptHandles(State& state) : state_(state) {}
    AttemptHandles(const AttemptHandles&) = delete;
    AttemptHandles& operator=(const AttemptHandles&) = delete;
    ~AttemptHandles() { state_.CloseAll(); }

   private:
    State& state_;
  };

 private:
  void CloseLocked(UniqueInternet State::*slot) { (this->*slot).reset(); }
};

DownloadClient::DownloadClient() : state_(std::make_unique<State>()) {}
DownloadClient::~DownloadClient() = default;

void DownloadClient::Cancel() {
  state_->cancelled = true;
  SetEvent(state_->cancelEvent.get());
  state_->CloseAll();
}

bool DownloadClient::cancelled() const { return state_->cancelled; }

bool DownloadClient::WaitForCancel(uint32_t ms) const {
  // Without its event the pause still lasts ms.
  if (WaitForSingleObject(state_->cancelEvent.get(), ms) == WAIT_FAILED) Sleep(ms);
  return cancelled();
}

bool DownloadClient::DownloadFile(const std::string& localPath, const std::string& url,
                                  DownloadProgress* progress, Bz2Target rule) {
  for (int attempt = 1;; ++attempt) {
    state_->attempt = attempt;
    if (DownloadOnce(localPath, url, progress, rule)) return true;
    if (attempt == kDownloadAttempts || state_->cancelled) return false;
    Sleep(kAttemptPauseMs);
  }
}

bool DownloadClient::DownloadOnce(const std::string& localPath, const std::string& url,
                                  DownloadProgress* progress, Bz2Target rule) {
  State& state = *state_;
  // Written however the attempt ends. Slots for later: resumed_from, proxy.
  run_log::Event entry("request");
  entry.Add("url", url).Add("attempt", std::exchange(state.attempt, 1)).Timed();
  if (state.cancelled) return entry.Failed("cancelled");
  // A bz2 URL names the file it is stored as; a name that could leave the
  // folder gets no request at all.
  std::optional<std::string> target = DownloadTarget(localPath, url, rule);
  if (!target) return entry.Failed("refused target name");

  State::AttemptHandles handles(state);
  HINTERNET session =
      InternetOpenA(OwnApplicationName().c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (session == nullptr) throw TransferError("no WinINet session");
  if (!state.Adopt(&State::session, session)) return entry.Failed("cancelled");
  SetTimeouts(session, timeouts);
  InternetSetStatusCallbackA(session, PassTimeoutsOn);

  if (!IsHttpUrl(url)) {
    OutputDebugStringA(kNoHttpResponseText);
    return entry.Failed("not an http URL");
  }
  const std::optional<HINTERNET> opened =
      OpenUrlUnlessCancelled(state.blockingCalls, session, url, timeouts, state.cancelEvent.get());
  if (!opened || *opened == nullptr) return entry.Failed(opened ? "no response" : "cancelled");
  HINTERNET request = *opened;
  if (!state.Adopt(&State::request, request)) return entry.Failed("cancelled");
  // The reads need no status reports.
  InternetSetStatusCallbackA(request, nullptr);

  // An error page is no update file, however well its length matches.
  DWORD status = 0;
  DWORD statusSize = sizeof status;
  if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize,
                      nullptr)) {
    return entry.Failed("no status");
  }
  entry.Add("status", status);
  if (!IsSuccessStatus(status)) return entry.Failed("error status");
  // Without a length there is nothing to tell a whole body from a cut one.
  char lengthText[32] = {};
  DWORD lengthSize = sizeof lengthText;
  if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, nullptr)) {
    return entry.Failed("no Content-Length");
  }
  const int32_t announced =
      AtoiText(std::string(lengthText, lengthSize < sizeof lengthText ? lengthSize : 0));
  entry.Add("length", announced);
  const std::optional<int32_t> step = ProgressStep(announced);
  if (!step) return entry.Failed("length out of range");

  if (progress != nullptr) progress->Started(announced, *step);

  UniqueFile file = CreateTargetFile(*target);
  if (!file) return entry.Error(GetLastError()).Failed("cannot create the file");

  char buffer[kTransferChunkBytes];
  ChunkReader reader(state.blockingCalls, request, state.cancelled, state.cancelEvent.get());
  int64_t received = 0;
  for (;;) {
    DWORD count = 0;
    if (!reader.Read(buffer, sizeof buffer, count)) {
      if (state.cancelled) return entry.Add("received", received).Failed("cancelled");
      entry.Add("received", received).Error(GetLastError()).Failed("read error");
      throw TransferError("reading the response failed");
    }
    // A read cut short by Cancel may end like a body: the flag decides.
    if (state.cancelled) return entry.Add("received", received).Failed("cancelled");
    if (count == 0) break;
    received += count;
    WriteWhole(file.get(), buffer, count);
    if (progress != nullptr) progress->Received(ReportValue(received));
  }
  file.reset();
  state.CloseRequest();

  entry.Add("received", received);
  if (received != announced) return entry.Failed("body length differs from Content-Length");
  if (progress != nullptr) progress->Finished(ReportValue(received));
  return true;
}
