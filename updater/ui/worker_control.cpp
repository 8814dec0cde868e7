#include "updater/ui/worker_control.h"

#include <process.h>

#include <utility>

#include "updater/base/run_log.h"
#include "updater/ui/dialog_messages.h"

namespace {

HANDLE StartUpdateThread(WorkerRun* run) {
  const uintptr_t handle = _beginthreadex(nullptr, 0, UpdateThreadProc, run, 0, nullptr);
  return reinterpret_cast<HANDLE>(handle);
}

// How long a terminated thread may take to be gone.
constexpr DWORD kTerminateWaitMs = 5000;

unsigned __stdcall RestoreThreadProc(void* job) {
  try {
    static_cast<UpdateJob*>(job)->RestoreBackups();
  } catch (...) {
    // Nothing may cross the thread's entry; what was not restored stays in
    // the journal for the next start.
  }
  return 0;
}

// Serves every message until thread has ended; a WM_QUIT taken meanwhile is
// posted again, so the loop that waits for it still ends.
void ServeMessagesUntilEnded(HANDLE thread) {
  bool quit = false;
  MSG quitMsg{};
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        quit = true;
        quitMsg = msg;
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    const DWORD woke = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT);
    if (woke != WAIT_OBJECT_0 + 1) break;
  }
  // Posted again as it came (the dialog posts it to its window).
  if (quit) PostMessageA(quitMsg.hwnd, WM_QUIT, quitMsg.wParam, quitMsg.lParam);
}

}  // namespace

unsigned __stdcall UpdateThreadProc(void* param) {
  run_log::Event("worker_thread");
  const auto* run = static_cast<const WorkerRun*>(param);
  bool ok = false;
  try {
    ok = run->job->Run(run->observer);
  } catch (...) {
    // Nothing may cross the thread's entry; an escaped error is a failed run.
    ok = false;
  }
  SendMessageA(run->resultWindow, WM_UPDATE_RESULT, ok ? 1 : 0, 0);
  return 0;
}

WorkerControl::WorkerControl(std::vector<ManifestKey> manifestKeys, StartWorkerThread start, DWORD stopWaitMs)
    : manifestKeys_(std::move(manifestKeys)), start_(start ? start : StartUpdateThread), stopWaitMs_(stopWaitMs) {}

WorkerControl::~WorkerControl() {
  // A worker still running uses its job and run: both are left to the
  // process's end rather than freed under it.
  if (thread_ && WaitForSingleObject(thread_.get(), 0) != WAIT_OBJECT_0) {
    (void)job_.release();
    (void)run_.release();
  }
}

bool WorkerControl::Start(UpdateObserver* observer, HWND resultWindow) {
  job_ = std::make_unique<UpdateJob>(manifestKeys_);
  run_ = std::make_unique<WorkerRun>();
  run_->job = job_.get();
  run_->observer = observer;
  run_->resultWindow = resultWindow;
  thread_.reset(start_(run_.get()));
  if (thread_) {
    run_log::Event("worker").Add("started", true);
    return true;
  }
  job_.reset();
  return false;
}

bool WorkerControl::WaitForEnd(DWORD waitMs) {
  // The worker's last act is a synchronous WM_UPDATE_RESULT to the window;
  // serving sent messages while waiting is what lets it reach its end. The
  // wait is bounded: Stop terminates a worker that does not end in time, so
  // that its backups can go back before the process ends.
  constexpr DWORD kExitCodePollMs = 50;
  HANDLE thread = thread_.get();
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    const DWORD left = static_cast<DWORD>(deadline - now);
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    const DWORD woke = MsgWaitForMultipleObjects(1, &thread, FALSE, left, QS_SENDMESSAGE);
    if (woke == WAIT_OBJECT_0) return true;
    if (woke == WAIT_OBJECT_0 + 1 || woke == WAIT_TIMEOUT) continue;
    // A failed wait says nothing about the thread; its exit code does.
    DWORD code = 0;
    if (!GetExitCodeThread(thread, &code)) return false;
    if (code != STILL_ACTIVE) return true;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, left < kExitCodePollMs ? left : kExitCodePollMs, QS_SENDMESSAGE);
  }
}

WorkerStop WorkerControl::Stop() {
  if (!thread_) return WorkerStop::NotRunning;
  run_log::Event("cancel").Add("worker", "running");
  stopping_ = true;
  stoppedResult_ = -1;
  if (job_) job_->Cancel();
  const bool ended = WaitForEnd(stopWaitMs_);
  const bool stopped = ended || Terminate();
  run_log::Event("cancel")
      .Add("worker", ended ? "ended" : stopped ? "terminated" : "left running")
      .Add("worker_result", stoppedResult_);
  stopping_ = false;
  if (!stopped) {
    // The worker may still use its job: it is left to the process's end
    // rather than released, or its backups restored, under a running worker.
    (void)job_.release();
    (void)run_.release();
    (void)thread_.release();
    return WorkerStop::LeftRunning;
  }
  thread_.reset();
  if (!ended) return WorkerStop::Terminated;
  // A run that completed before the cancel reached it is kept: undoing it
  // would leave old files and no settings to retry with.
  return stoppedResult_ == 1 ? WorkerStop::CompletedFirst : WorkerStop::Ended;
}

bool WorkerControl::Terminate() {
  // The handle given may allow no more than a query; the thread's id opens
  // one that may stop it.
  UniqueHandle stoppable(OpenThread(THREAD_TERMINATE | SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE,
                                    GetThreadId(thread_.get())));
  if (!stoppable || !TerminateThread(stoppable.get(), 0)) return false;
  terminated_ = true;
  thread_ = std::move(stoppable);
  return WaitForEnd(kTerminateWaitMs);
}

void WorkerControl::ReleaseJob() {
  if (terminated_) {
    // A job whose thread was cut short may be mid-change: it is left to the
    // process's end rather than destroyed.
    (void)job_.release();
    (void)run_.release();
    terminated_ = false;
    return;
  }
  job_.reset();
  run_.reset();
}

void WorkerControl::RestoreAndReleaseJob() {
  if (!job_ || restoring_) return;
  restoring_ = true;
  UniqueHandle restore(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RestoreThreadProc, job_.get(), 0, nullptr)));
  if (restore) {
    ServeMessagesUntilEnded(restore.get());
  } else {
    RestoreThreadProc(job_.get());
  }
  restoring_ = false;
  ReleaseJob();
}
