#include "updater/ui/shell_calls.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"

// One call and what it gave: -1 until it is made.
struct ShellCallThread::Pending {
  DWORD message = 0;
  NOTIFYICONDATAA data{};
  std::shared_ptr<std::atomic<int>> result = std::make_shared<std::atomic<int>>(-1);
  std::shared_ptr<UniqueHandle> made = std::make_shared<UniqueHandle>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
};

struct ShellCallThread::Shared {
  ShellNotify notify = nullptr;
  UniqueHandle wake{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  std::mutex mutex;  // guards queue, inFlight and quit
  std::deque<Pending> queue;
  bool inFlight = false;
  bool quit = false;
};

namespace {

// Waits until made is set (or ends, for a thread) or waitMs have passed,
// serving the messages sent to this thread meanwhile: the shell, or anyone the
// call waits on, may send to our windows. True when made was set.
bool WaitServingSentMessages(HANDLE made, DWORD waitMs) {
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  for (;;) {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    const ULONGLONG now = GetTickCount64();
    if (WaitForSingleObject(made, 0) == WAIT_OBJECT_0) return true;
    if (now >= deadline) return false;
    const DWORD woke = MsgWaitForMultipleObjects(1, &made, FALSE, static_cast<DWORD>(deadline - now), QS_SENDMESSAGE);
    if (woke == WAIT_OBJECT_0) return true;
    if (woke == WAIT_FAILED) return false;
  }
}

}  // namespace

DWORD WINAPI ShellCallThread::Loop(void* parameter) {
  const std::unique_ptr<std::shared_ptr<Shared>> owner(static_cast<std::shared_ptr<Shared>*>(parameter));
  Shared& shared = **owner;
  for (;;) {
    std::optional<Pending> call;
    {
      std::lock_guard<std::mutex> lock(shared.mutex);
      if (shared.queue.empty()) {
        if (shared.quit) return 0;
      } else {
        call = std::move(shared.queue.front());
        shared.queue.pop_front();
        shared.inFlight = true;
      }
    }
    if (!call) {
      WaitForSingleObject(shared.wake.get(), INFINITE);
      continue;
    }
    const BOOL result = shared.notify(call->message, &call->data);
    call->result->store(result ? 1 : 0);
    SetEvent(call->made->get());
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.inFlight = false;
  }
}

ShellCallThread::~ShellCallThread() {
  if (!shared_) return;
  bool caughtUp = false;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->quit = true;
    SetEvent(shared_->wake.get());
    caughtUp = !shared_->inFlight && shared_->queue.empty();
  }
  // The program ends right after this, and it ends well defined only with
  // each thread gone or blocked in a wait, not half-way through its own end
  // (under load, a thread told to quit is still ending when the process does).
  // So an idle thread is waited for. One behind a busy shell is blocked in its
  // call, where the process's end stops it, and the calls still queued behind
  // it are not worth a longer exit.
  if (caughtUp || !stalled_) WaitServingSentMessages(thread_.get(), kEndWaitMs);
}

bool ShellCallThread::Launch() {
  auto shared = std::make_shared<Shared>();
  shared->notify = notify_;
  if (!shared->wake) return false;
  auto* parameter = new std::shared_ptr<Shared>(shared);
  UniqueHandle thread(CreateThread(nullptr, 0, Loop, parameter, 0, nullptr));
  if (!thread) {
    delete parameter;
    return false;
  }
  shared_ = std::move(shared);
  thread_ = std::move(thread);
  return true;
}

BOOL ShellCallThread::Call(DWORD message, const NOTIFYICONDATAA& data, DWORD waitMs) {
  Pending call;
  if ((!shared_ && !Launch()) || !*call.made) {
    NOTIFYICONDATAA copy = data;
    return notify_(message, &copy);
  }
  call.message = message;
  call.data = data;
  const auto result = call.result;
  const auto made = call.made;
  bool wait = true;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    // Behind a call that outlasted its wait, nothing waits until the shell
    // has answered them all.
    if (stalled_ && (shared_->inFlight || !shared_->queue.empty())) {
      if (shared_->queue.size() >= kMaxQueued) return FALSE;
      wait = false;
    } else {
      stalled_ = false;
    }
    shared_->queue.push_back(std::move(call));
    SetEvent(shared_->wake.get());
  }
  if (!wait) return FALSE;
  if (WaitServingSentMessages(made->get(), waitMs)) return result->load() == 1;
  stalled_ = true;
  run_log::Event("tray_call").Add("message", message).Add("waited_ms", waitMs).Failed("shell busy");
  return FALSE;
}
