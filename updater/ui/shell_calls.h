#pragma once
// The tray icon's calls to the shell, made in their order on a thread of their
// own. Shell_NotifyIconA sends to the shell's window and waits for it without
// a time-out: a busy shell would hold the user-interface thread, and with it
// the prompt's timer and the worker's start, for as long as it stays busy.
// So the caller waits for each call a bounded time, serving the messages sent
// to its thread meanwhile as the call itself would. A call that outlasts its
// wait is still made, in its turn; until the thread has caught up, later calls
// queue behind it without any wait.
//
// Threads: Call and the destructor on the user-interface thread; the calls
// themselves on the shell-call thread, which outlives this object while a
// call holds it (what it uses is shared with it). Otherwise the destructor
// waits for the thread's end: it comes right before the program's.

#include <windows.h>
#include <shellapi.h>

#include <memory>

#include "updater/base/scoped_handle.h"

class ShellCallThread {
 public:
  using ShellNotify = BOOL(WINAPI*)(DWORD, PNOTIFYICONDATAA);
  explicit ShellCallThread(ShellNotify notify) : notify_(notify) {}
  ~ShellCallThread();
  ShellCallThread(const ShellCallThread&) = delete;
  ShellCallThread& operator=(const ShellCallThread&) = delete;

  // Makes the call and gives its result; FALSE when it did not end within
  // waitMs (it is made later) or the queue behind a busy shell is full (it is
  // dropped). Without a thread of its own the call is made here.
  BOOL Call(DWORD message, const NOTIFYICONDATAA& data, DWORD waitMs);

  // Calls that queue behind a busy shell at most; later ones are dropped.
  static constexpr std::size_t kMaxQueued = 16;
  // How long the destructor waits for an idle thread to end.
  static constexpr DWORD kEndWaitMs = 1000;

 private:
  struct Shared;
  struct Pending;
  static DWORD WINAPI Loop(void* parameter);
  bool Launch();

  const ShellNotify notify_;
  std::shared_ptr<Shared> shared_;
  UniqueHandle thread_;
  bool stalled_ = false;  // a call outlasted its wait and the thread has not caught up
};
