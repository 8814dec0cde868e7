#pragma once
// The worker: one update job and the thread that runs it. Started and stopped
// on the user-interface thread. The worker reports progress to an observer and
// ends with a synchronous WM_UPDATE_RESULT to the dialog's window, so whoever
// waits for it on the window's thread must serve sent messages meanwhile.
// Start, Stop and RestoreAndReleaseJob are the whole of the worker's life as
// the dialog sees it: what a cancel leaves on disk, and how long the window's
// thread waits for it, are decided here.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "updater/base/manifest_keys.h"
#include "updater/base/scoped_handle.h"
#include "updater/core/update_job.h"
#include "updater/core/update_observer.h"

// What the worker thread is given; it lives as long as the job.
struct WorkerRun {
  UpdateJob* job = nullptr;
  UpdateObserver* observer = nullptr;
  HWND resultWindow = nullptr;  // receives WM_UPDATE_RESULT
};

// Starts UpdateThreadProc (or a stand-in) on run; the thread's handle or null.
using StartWorkerThread = HANDLE (*)(WorkerRun* run);

// The worker thread's entry: runs the job, then sends the result.
unsigned __stdcall UpdateThreadProc(void* run);

// How a stop ended.
enum class WorkerStop {
  NotRunning,      // there was no worker
  Ended,           // the cancel ended it before its run completed
  CompletedFirst,  // its run had completed (result 1) before the cancel reached it
  Terminated,      // it did not end within the wait and was stopped where it was
  LeftRunning,     // it could not be stopped either; it and its job are left to the process's end
};

class WorkerControl {
 public:
  // start null: _beginthreadex. stopWaitMs bounds how long Stop waits: a
  // cancel ends a transfer within seconds, but a file being put in place is
  // finished first.
  WorkerControl(std::vector<ManifestKey> manifestKeys, StartWorkerThread start, DWORD stopWaitMs);
  ~WorkerControl();
  WorkerControl(const WorkerControl&) = delete;
  WorkerControl& operator=(const WorkerControl&) = delete;

  // Creates a job and starts its thread; false (job released) when the
  // thread could not be started.
  bool Start(UpdateObserver* observer, HWND resultWindow);
  UpdateJob* job() const { return job_.get(); }

  // Cancels the job and waits for the thread's end while serving the
  // messages it sends; a thread that outlasts the wait is terminated, so that
  // its backups can still go back before the process ends. While it waits,
  // stopping() holds and the result the worker sends is given to NoteResult
  // instead of being handled; it also holds while backups are restored.
  WorkerStop Stop();
  bool stopping() const { return stopping_ || restoring_; }
  void NoteResult(WPARAM result) { stoppedResult_ = static_cast<int>(result); }

  // The result has been handled. The worker waits in its final send and
  // touches nothing of ours after it, so its handle is closed at once: a
  // wait for its end here could only time out.
  void ForgetThread() { thread_.reset(); }
  // Releases a completed job; its tables go with it.
  void ReleaseJob();
  // Restores the backups of a job that did not complete, then releases it.
  // The restore (it may wait for regsvr32) runs on a thread of its own while
  // this thread serves every message but WM_QUIT, which is posted again after.
  void RestoreAndReleaseJob();

 private:
  // True once the thread has ended; false when that cannot be told or it did
  // not end within waitMs.
  bool WaitForEnd(DWORD waitMs);
  // Terminates the thread and waits for its end; false when it runs on.
  bool Terminate();

  const std::vector<ManifestKey> manifestKeys_;
  const StartWorkerThread start_;
  const DWORD stopWaitMs_;
  std::unique_ptr<UpdateJob> job_;
  std::unique_ptr<WorkerRun> run_;
  UniqueHandle thread_;
  bool stopping_ = false;
  bool restoring_ = false;
  bool terminated_ = false;  // the job's thread was cut short: its members may be mid-change
  int stoppedResult_ = -1;  // the result the worker sent during Stop, -1 none
};
