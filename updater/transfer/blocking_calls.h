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
#include <vector>

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
// the worker waits for the call's end, a cancel or its time limit. Starting a
// thread per call cost about a millisecond, several times a file. A call that
// the worker stopped waiting for ends by itself at the session's time-outs;
// then the thread ends too. Nothing waits for it: what it uses lives in Shared.
class BlockingCallThread {
 public:
  BlockingCallThread() = default;
  BlockingCallThread(const BlockingCallThread&) = delete;
  BlockingCallThread& operator=(const BlockingCallThread&) = delete;
  ~BlockingCallThread() { LeaveBehind(); }

  // Runs task on the thread; done() is signalled when it has run. A call left
  // behind still running keeps its thread, and the task gets a new one. False
  // when no thread could be made.
  bool Start(std::function<void()> task);
  HANDLE done() const;

 private:
  struct Shared;  // what the thread uses, shared with it: it may outlive this object
  static DWORD WINAPI Loop(void* parameter);
  bool Busy();
  // The thread ends once its call, if any, has.
  void LeaveBehind();
  bool Launch();

  std::shared_ptr<Shared> shared_;
};

// Opens a WinINet session with the system's proxy settings, named agent; the
// session, null when it could not be opened, or nullopt on a cancel or once
// the time dueTick gives has passed. Where the proxy settings are found out can
// take as long as the system likes, so it too runs on the thread.
std::optional<HINTERNET> OpenSessionUnlessCancelled(BlockingCallThread& thread, const std::string& agent,
                                                    HANDLE cancelled, const std::function<ULONGLONG()>& dueTick);

// Opens url on session with the extra headers (may be empty); the request,
// null when opening failed, or nullopt on a cancel or once the time dueTick
// gives (GetTickCount64; asked again when it comes, as it may move on) has
// passed.
std::optional<HINTERNET> OpenUrlUnlessCancelled(BlockingCallThread& thread, HINTERNET session,
                                                const std::string& url, const std::string& headers,
                                                const TransferTimeouts& timeouts, HANDLE cancelled,
                                                const std::function<ULONGLONG()>& dueTick);

// Reads the body as it comes: each read gives what has arrived, up to the
// buffer's size, as soon as there is any (count 0 at the end), so that the
// bytes of a slow line are written as they come and a run that ends keeps
// them. Where closing the handle does not end a read already blocked on it, a
// trickling body would hold a cancel, so every read runs on the blocking-call
// thread, whose wait a cancel or the due time ends at once; the bytes that
// came before either are handed over all the same. While the body comes
// slowly, no read there asks for more bytes than InternetQueryDataAvailable
// has reported, so a thread left behind stops at its next piece, and a piece
// goes to the caller once it holds a chunk or kQuickChunkMs after it began.
// While it comes quickly, one whole read takes up to kGatherBytes, no more
// than the floor throughput brings by the due time: Wine's
// InternetQueryDataAvailable reports 8 KiB at a time and each hand-over
// between threads costs, so pieces alone ran at a third of a bare WinINet
// loop.
class ChunkReader {
 public:
  ChunkReader(BlockingCallThread& thread, HINTERNET request, const std::atomic<bool>& cancelled,
              HANDLE cancelEvent)
      : thread_(thread), request_(request), cancelled_(cancelled), cancelEvent_(cancelEvent) {}

  // False on a read error, or when more of the body did not come by the time
  // dueTick gives (GetTickCount64, asked again when it comes; timedOut() then
  // says so). The bytes read before either are handed over first, and the
  // failure comes with the next call.
  bool Read(char* buffer, DWORD size, DWORD& count, const std::function<ULONGLONG()>& dueTick,
            uint32_t floorBytesPerSecond);
  bool timedOut() const { return timedOut_; }

  static constexpr std::size_t kGatherBytes = 8 * kTransferChunkBytes;

 private:
  // Fills pending_ with the next piece of the body, and notes its end, an
  // error or the due time.
  void Gather(std::size_t want, const std::function<ULONGLONG()>& dueTick, uint32_t floorBytesPerSecond);

  BlockingCallThread& thread_;
  HINTERNET request_;
  const std::atomic<bool>& cancelled_;
  HANDLE cancelEvent_;
  std::vector<char> pending_;  // read and not handed over yet, from pendingAt_
  std::size_t pendingAt_ = 0;
  bool ended_ = false;       // the body's end is read
  bool readFailed_ = false;  // after pending_
  bool timedOut_ = false;
  // After bytes that came at a chunk per kQuickChunkMs or faster, the next
  // are read whole; a slower piece is handed over kQuickChunkMs after it began.
  static constexpr ULONGLONG kQuickChunkMs = 50;
  bool wholeReads_ = false;
};
