#pragma once
// The hidden main dialog (template 138). It lives on the user-interface thread,
// owns the update job and the worker thread, and is the UpdateObserver the
// worker reports to.

#include <windows.h>

#include <memory>
#include <string>

#include "updater/core/update_job.h"
#include "updater/core/update_observer.h"

struct UpdaterApp;

class UpdateDialog : public UpdateObserver {
 public:
  explicit UpdateDialog(UpdaterApp& app);
  ~UpdateDialog() override;
  UpdateDialog(const UpdateDialog&) = delete;
  UpdateDialog& operator=(const UpdateDialog&) = delete;

  // Creates the modeless dialog without parent; its initialisation adds the
  // tray icon, shows the prompt and starts TIMER_PROMPT. The caller hides it.
  bool Create();
  HWND hwnd() const { return hwnd_; }

  void StartUpdate();
  void RetryUpdate();
  void CancelUpdate();
  void HandleUpdateResult(WPARAM success);
  LRESULT HandleTrayNotify(WPARAM wParam, LPARAM lParam);
  void RemoveTrayIcon();

  // UpdateObserver, called on the worker thread.
  void FillFileList(const FileTable& fileUrlMap) override;
  bool ReportFileProgress(const std::string& path, int stage, int32_t value) override;
  void SetProgressStep(int step) override;
  void StepProgress() override;

  UpdateJob* job() const { return job_.get(); }

 private:
  UpdaterApp& app_;
  HWND hwnd_ = nullptr;
  std::unique_ptr<UpdateJob> job_;
};

// Custom messages and timers of the dialog.
constexpr UINT WM_UPDATE_RESULT = WM_USER + 1;
constexpr UINT WM_TRAY_NOTIFY = 11023;
constexpr UINT_PTR TIMER_TRAY_ANIMATION = 11024;
constexpr UINT_PTR TIMER_PROMPT = 11025;
constexpr UINT_PTR TIMER_EXIT = 11026;
