// The download client over WinINet.
//
// A download survives a line that drops: an attempt that ends early (a cut
// connection, a time-out, a short body) is continued by the next from the
// bytes already written, with Range guarded by If-Range, so a server whose
// body changed answers 200 and the file starts again from its first byte.
// Attempts that bring new bytes are free, three that bring nothing end the
// download, and AttemptBudget caps the whole at 6 + length / 64 KiB attempts,
// each ended by the time-outs when the line goes quiet. The client's session
// lives as long as the client, so its connections are kept alive from one file
// to the next, and it takes the system's proxy settings for every request.
// Certificates are always checked in full: no flag or option here relaxes
// them, and a redirect from https to http is refused.
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

#include <algorithm>
#include <atomic>
#include <climits>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>
#include <utility>

#include "updater/transfer/download_client.h"

#include "updater/base/module_path.h"
#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/base/text_rules.h"
#include "updater/transfer/http_validator.h"

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

// Opens url on session with the extra headers (may be empty); the request,
// null when opening failed, or nullopt on a cancel.
std::optional<HINTERNET> OpenUrlUnlessCancelled(BlockingCallThread& thread, HINTERNET session,
                                                const std::string& url, const std::string& headers,
                                                const TransferTimeouts& timeouts, HANDLE cancelled) {
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

int32_t ReportValue(int64_t bytes) { return bytes > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bytes); }

}  // namespace

struct DownloadClient::State {
  std::atomic<bool> cancelled{false};
  int attempt = 1;  // of Fetch's attempts, for the run log
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
  bool Adopt(UniqueInternet State::*slot, HINTERNET handle) {
    UniqueInternet adopted(handle);
    std::lock_guard<std::mutex> lock(handlesMutex);
    if (cancelled) return false;
    (this->*slot) = std::move(adopted);
    return true;
  }

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
    explicit AttemptRequest(State& state) : state_(state) {}
    AttemptRequest(const AttemptRequest&) = delete;
    AttemptRequest& operator=(const AttemptRequest&) = delete;
    ~AttemptRequest() { state_.CloseRequest(); }

   private:
    State& state_;
  };
};

DownloadClient::DownloadClient() : state_(std::make_unique<State>()) {}
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
  for (int attempt = 1;; ++attempt) {
    state_->attempt = attempt;
    const Outcome outcome = Attempt(download, url, progress);
    state_->attempt = 1;
    if (outcome == Outcome::Complete) return true;
    if (outcome == Outcome::Refused || state_->cancelled) return false;
    if (!budget.AfterAttempt(download.kept, download.total)) return false;
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
  return Attempt(download, url, progress) == Outcome::Complete;
}

namespace {

// The text of one response header; empty when it is absent.
std::string HeaderText(HINTERNET request, DWORD query) {
  char text[512] = {};
  DWORD size = sizeof text;
  if (!HttpQueryInfoA(request, query, text, &size, nullptr) || size >= sizeof text) return std::string();
  return std::string(text, size);
}

// Only a strong validator may guard a range (http_validator.h).
std::string ValidatorOf(HINTERNET request) {
  return IfRangeValidator(HeaderText(request, HTTP_QUERY_ETAG), HeaderText(request, HTTP_QUERY_LAST_MODIFIED),
                          HeaderText(request, HTTP_QUERY_DATE));
}

// The URL the request ended at after the redirects WinINet followed.
std::string FinalUrl(HINTERNET request) {
  char text[4096] = {};
  DWORD size = sizeof text;
  if (!InternetQueryOptionA(request, INTERNET_OPTION_URL, text, &size)) return std::string();
  return std::string(text, size < sizeof text ? size : 0);
}

bool SetFileLength(HANDLE file, int64_t length) {
  LARGE_INTEGER at;
  at.QuadPart = length;
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// Whether the volume of path has bytes free; true when that cannot be told.
bool HasRoomFor(const std::string& path, int64_t bytes) {
  const std::size_t slash = path.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  ULARGE_INTEGER free{};
  if (!GetDiskFreeSpaceExA(folder.c_str(), &free, nullptr, nullptr)) return true;
  return bytes <= 0 || free.QuadPart >= static_cast<uint64_t>(bytes);
}

// Creates or truncates path: readable and renamable through this handle;
// others may read it but not write, rename or delete it.
UniqueFile CreateHeldFile(const std::string& path) {
  return UniqueFile(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The body starts from its first byte again. The kept bytes go at once, so
// that no record written later can name them.
void ForgetKept(FileDownload& download) {
  if (download.file && !SetFileLength(download.file.get(), 0))
    throw TransferError("the downloaded file cannot be cut");
  download.kept = 0;
  download.total = -1;
  download.validator.clear();
  if (download.sink != nullptr) download.sink->Restart();
}

}  // namespace

DownloadClient::Outcome DownloadClient::Attempt(FileDownload& download, const std::string& url,
                                                DownloadProgress* progress) {
  State& state = *state_;
  // Written however the attempt ends.
  run_log::Event entry("request");
  entry.Add("url", url).Add("attempt", state.attempt).Timed();
  auto fail = [&entry](const char* reason) {
    entry.Failed(reason);
    return Outcome::Failed;
  };
  if (state.cancelled) return fail("cancelled");

  State::AttemptRequest closeRequest(state);
  if (state.Session() == nullptr) {
    HINTERNET session =
        InternetOpenA(OwnApplicationName().c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr) throw TransferError("no WinINet session");
    if (!state.Adopt(&State::session, session)) return fail("cancelled");
    SetTimeouts(session, timeouts);
    InternetSetStatusCallbackA(session, PassTimeoutsOn);
  }

  if (!IsHttpUrl(url)) {
    OutputDebugStringA(kNoHttpResponseText);
    return fail("not an http URL");
  }
  // A body already whole, or longer than announced, is no place to go on from.
  if (download.kept >= download.total && download.kept > 0) ForgetKept(download);
  const std::string resume = ResumeHeaders(download.kept, download.validator);
  if (!resume.empty()) entry.Add("resumed_from", download.kept);
  const std::optional<HINTERNET> opened = OpenUrlUnlessCancelled(state.blockingCalls, state.Session(), url,
                                                                 resume + extraHeaders, timeouts, state.cancelEvent.get());
  if (!opened || *opened == nullptr) return fail(opened ? "no response" : "cancelled");
  HINTERNET request = *opened;
  if (!state.Adopt(&State::request, request)) return fail("cancelled");
  // The reads need no status reports.
  InternetSetStatusCallbackA(request, nullptr);

  // An https download never continues over plain http.
  if (IsDowngradeRedirect(url, FinalUrl(request))) {
    entry.Failed("redirected from https to http");
    return Outcome::Refused;
  }

  // An error page is no update file, however well its length matches.
  DWORD status = 0;
  DWORD statusSize = sizeof status;
  if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize,
                      nullptr)) {
    return fail("no status");
  }
  entry.Add("status", status);
  if (!IsSuccessStatus(status)) {
    // A refused range (416, or anything else) would be refused on every
    // later run too: the next attempt asks for the whole body.
    if (!resume.empty()) ForgetKept(download);
    return fail("error status");
  }
  // Without a length there is nothing to tell a whole body from a cut one.
  char lengthText[32] = {};
  DWORD lengthSize = sizeof lengthText;
  if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, nullptr)) {
    return fail("no Content-Length");
  }
  const int64_t length =
      ParseContentLength(std::string(lengthText, lengthSize < sizeof lengthText ? lengthSize : 0));
  entry.Add("length", length);
  if (length < 0) return fail("length out of range");

  // 206 continues the kept bytes; any other success (a server without ranges,
  // or a body that changed since) is the whole body from its first byte.
  const bool continued = status == 206;
  int64_t total = length;
  if (continued) {
    const std::optional<ContentRange> range =
        ParseContentRange(HeaderText(request, HTTP_QUERY_CONTENT_RANGE));
    if (resume.empty() || !range || range->first != download.kept || range->last + 1 != range->total ||
        length != range->total - range->first || (download.total >= 0 && range->total != download.total)) {
      ForgetKept(download);  // no part of what the server holds now: start again
      return fail("range does not continue the kept bytes");
    }
    total = range->total;
  }
  if (total > download.maxLength) {
    entry.Add("max_length", download.maxLength).Failed("longer than allowed");
    return Outcome::Refused;
  }
  const std::optional<int32_t> step = ProgressStep(ReportValue(total));
  if (!step) return fail("length out of range");
  // A body that cannot fit is refused before it fills the disk, which the
  // restore of a failed run still needs.
  if (!HasRoomFor(download.path, total - download.kept)) {
    entry.Add("needed", total - download.kept).Failed("not enough free space");
    return Outcome::Refused;
  }
  if (!continued) {
    const bool hadBytes = download.kept > 0;
    // The old bytes go before anything (a progress report included) can
    // record the new body's validator beside them.
    if (download.file && !SetFileLength(download.file.get(), 0)) {
      throw TransferError("the downloaded file cannot be cut");
    }
    download.kept = 0;
    download.total = total;
    download.validator = ValidatorOf(request);
    if (hadBytes && download.sink != nullptr) download.sink->Restart();
  }

  if (progress != nullptr) progress->Started(ReportValue(total), *step);

  if (!download.file) {
    download.file = CreateHeldFile(download.path);
    if (!download.file) {
      entry.Error(GetLastError());
      return fail("cannot create the file");
    }
  }
  if (!SetFileLength(download.file.get(), download.kept))
    throw TransferError("the downloaded file cannot be cut");

  char buffer[kTransferChunkBytes];
  ChunkReader reader(state.blockingCalls, request, state.cancelled, state.cancelEvent.get());
  bool overran = false;
  for (;;) {
    DWORD count = 0;
    // A read that fails (a cut connection, a time-out) ends the attempt with
    // what it brought; the next one goes on from there.
    if (!reader.Read(buffer, sizeof buffer, count)) {
      entry.Add("received", download.kept);
      return fail(state.cancelled ? "cancelled" : "read error");
    }
    // A read cut short by Cancel may end like a body: the flag decides.
    if (state.cancelled) return fail("cancelled");
    if (count == 0) break;
    const int64_t room = total - download.kept;
    if (static_cast<int64_t>(count) > room) {
      count = static_cast<DWORD>(room);
      overran = true;
    }
    if (count > 0) {
      WriteWhole(download.file.get(), buffer, count);
      if (download.sink != nullptr) download.sink->Add(buffer, count);
      download.kept += count;
      if (progress != nullptr) progress->Received(ReportValue(download.kept));
    }
    if (overran) break;
  }
  state.CloseRequest();

  entry.Add("received", download.kept);
  if (overran) {
    // A body longer than announced is not the file: none of it is kept.
    ForgetKept(download);
    return fail("body longer than Content-Length");
  }
  if (download.kept != total) return fail("body shorter than Content-Length");
  if (progress != nullptr) progress->Finished(ReportValue(download.kept));
  return Outcome::Complete;
}
