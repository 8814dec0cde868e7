#pragma once
// The hidden main dialog (template 138). It lives on the user-interface thread,
// owns the update job and the worker thread, and is the UpdateObserver the
// worker reports to. It also owns the notification-area icon (tray.cpp). The
// window and its messages are update_dialog.cpp; the worker's lifecycle
// worker_control.cpp; the file list and progress bar progress_view.cpp.

#include <windows.h>
#include <shellapi.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "updater/base/file_table.h"
#include "updater/base/manifest_keys.h"
#include "updater/base/scoped_handle.h"
#include "updater/core/file_version.h"
#include "updater/core/update_job.h"
#include "updater/core/update_observer.h"
#include "updater/ui/link_static.h"
#include "updater/ui/progress_log.h"

class UpdateDialog;

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
  // Starts UpdateThreadProc for the dialog; returns the thread handle or null.
  HANDLE (*startWorker)(UpdateDialog*) = nullptr;  // null: _beginthreadex
  // How long stopping the worker waits for its end; a cancel ends a transfer
  // within seconds, but a file being put in place is finished first.
  DWORD workerStopWaitMs = 20000;
};

// The worker thread's entry: runs the dialog's job, then reports the result
// with a synchronous WM_UPDATE_RESULT.
unsigned __stdcall UpdateThreadProc(void* dialog);

class UpdateDialog : public UpdateObserver {
 public:
  explicit UpdateDialog(const DialogSettings& settings, const DialogHooks& hooks = DialogHooks());
  ~UpdateDialog() override;
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
  void HandleUpdateResult(WPARAM success);
  void HandleTimer(UINT_PTR id);
  LRESULT HandleTrayNotify(WPARAM wParam, LPARAM lParam);

  // The notification-area icon (id 140) and its balloons.
  BOOL AddTrayIcon();
  BOOL ShowBalloon(const std::string& text, const std::string& title);
  BOOL SetTrayIcon(int iconId);
  BOOL RemoveTrayIcon();

  // UpdateObserver, called on the worker thread. Each is put in the progress
  // log and returns at once; the dialog's thread shows the log in order.
  void FillFileList(const FileTable& fileUrlMap) override;
  bool ReportFileProgress(const std::string& path, int stage, int32_t value) override;
  void SetProgressStep(int step) override;
  void StepProgress() override;

  // Shows everything the worker has reported so far: at each file's start and
  // end (woken by WM_SHOW_PROGRESS), on every tick of the tray animation while
  // a body arrives, and before the result is handled. User-interface thread.
  void ShowPendingProgress();

  UpdateJob* job() const { return job_.get(); }
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

  // Creates a job and starts the worker; false (job released) when the
  // thread could not be started.
  bool LaunchWorker();
  void SetStatusText(const std::string& text);
  // Cancels a running worker and waits for its end. True only when its run
  // had completed before the cancel reached it: that success is handled and
  // nothing is to be restored.
  bool StopWorker();
  // True once the worker thread has ended; false when that cannot be told
  // or it did not end within hooks_.workerStopWaitMs.
  bool WaitForWorker();
  void SetRowText(int row, int column, const std::string& text);
  void InsertColumns();
  void ShowFileList(const std::vector<std::string>& paths);
  void StepProgressBar(int steps);
  void ShowFileStage(const std::string& path, int stage, int32_t value);

  const DialogSettings& settings_;
  DialogHooks hooks_;
  HWND hwnd_ = nullptr;
  std::unique_ptr<UpdateJob> job_;
  HWND picture_ = nullptr;
  HWND retryButton_ = nullptr;
  HWND progress_ = nullptr;
  HWND list_ = nullptr;
  std::string statusText_;
  LinkStatic link_;
  HICON icon_ = nullptr;
  int trayAnimationCounter_ = 0;
  FileTable RowIndexMap;  // file path -> decimal text of its list row
  ProgressLog progressLog_;
  int workerProgressStep_ = 0;  // the bar's step as the worker set it; its reports come one at a time
  int shownStep_ = 10;          // the bar's step as shown: the control's own until set
  UniqueHandle workerThread_;
  // Several files may be downloading at once: each row keeps its own.
  std::map<int, int32_t> rowFileSizes_;  // row -> the length its download announced
  std::set<int> downloadingRows_;        // the rows whose state text reads "正在下载"
  FileVersion clientVersion_;
  bool updateStarted_ = false;
  bool finished_ = false;
  // Set while CancelUpdate waits for the worker: the result it sends then is
  // only noted, the cancel decides what follows.
  bool cancelling_ = false;
  int cancelResult_ = -1;
};

// Custom messages and timers of the dialog.
constexpr UINT WM_UPDATE_RESULT = WM_USER + 1;
// Posted by the worker when its progress log holds a boundary to show.
constexpr UINT WM_SHOW_PROGRESS = WM_APP + 1;
constexpr UINT WM_TRAY_NOTIFY = 11023;
constexpr UINT_PTR TIMER_TRAY_ANIMATION = 11024;
constexpr UINT_PTR TIMER_PROMPT = 11025;
constexpr UINT_PTR TIMER_EXIT = 11026;
// The progress bar's range is 0 to kProgressMax.
constexpr int kProgressMax = 1000;
// The system-menu command that opens the about box.
constexpr UINT IDM_ABOUTBOX = 0x0010;
