#pragma once
// The dialog's file list and progress bar, and the UpdateObserver the worker
// reports to. The reports go into the progress log on the worker's thread and
// return at once; the dialog's thread shows them in order (ShowPending), woken
// by WM_SHOW_PROGRESS at each boundary and by the tray animation's ticks while
// a body arrives.

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "updater/base/file_table.h"
#include "updater/core/update_observer.h"
#include "updater/ui/progress_log.h"

class ProgressView : public UpdateObserver {
 public:
  // The controls to show in and the window to wake; user-interface thread,
  // before the first report.
  void Attach(HWND window, HWND list, HWND bar);

  // The bar's range and the list's columns, once, when the first update starts.
  void Prepare();
  // Sets the bar to its end (a success) or its start (a failure).
  void ShowFinished(bool success);
  // Whether the list shows at least one file of the run.
  bool filesListed() const { return !RowIndexMap.empty(); }
  // A new run starts: rows of the last one no longer find their paths.
  void ForgetRows() { RowIndexMap.clear(); }

  // Worker thread.
  void FillFileList(const FileTable& fileUrlMap) override;
  bool ReportFileProgress(const std::string& path, int stage, int32_t value) override;
  void SetProgressStep(int step) override;
  void StepProgress() override;

  // Shows everything reported so far. User-interface thread.
  void ShowPending();

 private:
  void Wake();
  void InsertColumns();
  void SetRowText(int row, int column, const std::string& text);
  void ShowFileList(const std::vector<std::string>& paths);
  void StepProgressBar(int steps);
  void ShowFileStage(const std::string& path, int stage, int32_t value);

  HWND window_ = nullptr;
  HWND list_ = nullptr;
  HWND bar_ = nullptr;
  ProgressLog progressLog_;
  int workerProgressStep_ = 0;  // the bar's step as the worker set it; its reports come one at a time
  // The rest is the dialog's thread's.
  int shownStep_ = 10;      // the bar's step as shown: the control's own until set
  FileTable RowIndexMap;    // file path -> decimal text of its list row
  // Several files may be downloading at once: each row keeps its own.
  std::map<int, int32_t> rowFileSizes_;  // row -> the length its download announced
  std::set<int> downloadingRows_;        // the rows whose state text reads "正在下载"
};
