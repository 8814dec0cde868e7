// The worker thread's lifecycle: started with a new job, and stopped through
// the job's cancel while the dialog serves the messages the worker sends it.

#include "updater/ui/update_dialog.h"

#include <process.h>

#include "updater/base/run_log.h"

namespace {

HANDLE StartUpdateThread(UpdateDialog* dialog) {
  const uintptr_t handle = _beginthreadex(nullptr, 0, UpdateThreadProc, dialog, 0, nullptr);
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

unsigned __stdcall UpdateThreadProc(void* param) {
  auto* dialog = static_cast<UpdateDialog*>(param);
  bool ok = false;
  try {
    ok = dialog->job()->Run(dialog);
  } catch (...) {
    // Nothing may cross the thread's entry; an escaped error is a failed run.
    ok = false;
  }
  SendMessageA(dialog->hwnd(), WM_UPDATE_RESULT, ok ? 1 : 0, 0);
  return 0;
}

bool UpdateDialog::LaunchWorker() {
  job_ = std::make_unique<UpdateJob>(settings_.manifestKeys);
  RowIndexMap.clear();
  workerThread_.reset((hooks_.startWorker ? hooks_.startWorker : StartUpdateThread)(this));
  if (workerThread_) return true;
  job_.reset();
  return false;
}

bool UpdateDialog::WaitForWorker() {
  // The worker's last act is a synchronous WM_UPDATE_RESULT to this window;
  // serving sent messages while waiting is what lets it reach its end. The
  // wait is bounded: a worker that does not end in time is left to the
  // process's end, whose next start plays back what it left half done.
  constexpr DWORD kExitCodePollMs = 50;
  HANDLE thread = workerThread_.get();
  const ULONGLONG deadline = GetTickCount64() + hooks_.workerStopWaitMs;
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

bool UpdateDialog::StopWorker() {
  if (!workerThread_) return false;
  run_log::Event("cancel").Add("worker", "running");
  cancelling_ = true;
  cancelResult_ = -1;
  if (job_) job_->Cancel();
  const bool ended = WaitForWorker();
  run_log::Event("cancel")
      .Add("worker", ended ? "ended" : "left running")
      .Add("worker_result", cancelResult_);
  cancelling_ = false;
  if (!ended) {
    // The worker may still use its job: it is left to the process's end
    // rather than released, or its backups restored, under a running worker.
    (void)job_.release();
    (void)workerThread_.release();
    return false;
  }
  workerThread_.reset();
  if (cancelResult_ == 1) {
    // The update completed before the cancel reached it: undoing it now
    // would leave old files and no settings to retry with.
    HandleUpdateResult(1);
    return true;
  }
  return false;
}

void UpdateDialog::CancelUpdate() {
  if (cancelling_) return;
  if (StopWorker()) return;
  KillTimer(hwnd_, TIMER_TRAY_ANIMATION);
  if (job_) {
    job_->RestoreBackups();
    job_.reset();
  }
  EndDialog(hwnd_, IDCANCEL);
  // Nothing visible would remain to end the program after a cancel.
  PostMessageA(hwnd_, WM_QUIT, 0, 0);
}

void UpdateDialog::StopBeforeExit() {
  if (cancelling_ || StopWorker()) return;
  if (job_) {
    job_->RestoreBackups();
    job_.reset();
  }
}
