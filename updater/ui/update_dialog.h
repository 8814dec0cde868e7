#pragma once
// The hidden main dialog (template 138), on the user-interface thread. Its
// window procedure sends each message to one handler, and it makes the
// decisions: when an update starts, what a result shows, what a cancel stops.
// It has three parts: the tray icon (tray_icon.h), the worker with its job
// (worker_control.h) and the progress view the worker reports to
// (progress_view.h).

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "updater/base/manifest_keys.h"
#include "updater/core/file_version.h"
#include "updater/core/update_job.h"
#include "updater/ui/dialog_messages.h"
#include "updater/ui/link_static.h"
#include "updater/ui/progress_view.h"
#include "updater/ui/tray_icon.h"
#include "updater/ui/worker_control.h"

// What the program's start-up tells the dialog; the program keeps it alive
// for as long as the dialog.
struct DialogSettings {
  std::string exeFolder;     // the updater's folder, with a trailing backslash
  bool forceUpdate = false;  // "/ForceUpdate", "/Upgrade" or no switch
  // Given to every update job; none: manifests are not signed.
  std::vector<ManifestKey> manifestKeys;
};

// The calls through which the dialog reaches the shell, the user and the
// thread facility. The product uses the platform's; tests record them.
struct DialogHooks {
  BOOL(WINAPI* shellNotify)(DWORD, PNOTIFYICONDATAA) = Shell_NotifyIconA;
  int(WINAPI* messageBox)(HWND, LPCSTR, LPCSTR, UINT) = MessageBoxA;
  UINT(WINAPI* winExec)(LPCSTR, UINT) = WinExec;
  StartWorkerThread startWorker = nullptr;  // null: UpdateThreadProc on _beginthreadex
  // How long stopping the worker waits for its end; a cancel ends a transfer
  // within seconds, but a file being put in place is finished first.
  DWORD workerStopWaitMs = 20000;
};

class UpdateDialog {
 public:
  explicit UpdateDialog(const DialogSettings& settings, const DialogHooks& hooks = DialogHooks());
  ~UpdateDialog();
  UpdateDialog(const UpdateDialog&) = delete;
  UpdateDialog& operator=(const UpdateDialog&) = delete;

  // Creates the modeless dialog without parent; its initialisation adds the
  // tray icon, shows the prompt and starts TIMER_PROMPT. The caller hides it.
  bool Create();
  HWND hwnd() const { return hwnd_; }

  void StartUpdate();
  void RetryUpdate();
  // Stops the worker through the job's cancel, waits for it while serving the
  // worker's messages, restores the backups and ends the program.
  void CancelUpdate();
  // Called once the message loop has ended, whatever ended it, before the
  // exit clean-up: a running worker is stopped as by a cancel and the backups
  // are restored, so the clean-up never works under it.
  void StopBeforeExit();

  // Message handlers.
  void HandleUpdateResult(WPARAM success);
  void HandleTimer(UINT_PTR id);
  LRESULT HandleTrayNotify(WPARAM wParam, LPARAM lParam);

  TrayIcon& tray() { return tray_; }
  ProgressView& progress() { return progress_; }
  UpdateJob* job() const { return worker_.job(); }
  bool updateStarted() const { return updateStarted_; }
  bool finished() const { return finished_; }
  const std::string& statusText() const { return statusText_; }
  LinkStatic& link() { return link_; }

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  BOOL OnInitDialog();
  void ShowPrompt();
  void OnCommand(WPARAM wParam, LPARAM lParam);
  bool OnSysCommand(WPARAM wParam);
  bool OnPaint();

  void ShowSuccess();
  void ShowFailure();
  // Shows the result balloon and schedules the program's end.
  void Finish(const std::string& text, const std::string& title);
  void SetStatusText(const std::string& text);
  // Stops a running worker; a run that completed first is handled as a success.
  WorkerStop StopWorker();

  const DialogSettings& settings_;
  const DialogHooks hooks_;
  HWND hwnd_ = nullptr;
  HWND retryButton_ = nullptr;
  HICON icon_ = nullptr;
  std::string statusText_;
  LinkStatic link_;
  TrayIcon tray_;
  ProgressView progress_;
  WorkerControl worker_;
  bool updateStarted_ = false;
  bool finished_ = false;
};
