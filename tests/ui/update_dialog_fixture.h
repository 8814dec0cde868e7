#pragma once
// What the update dialog's tests share: the rows and the bar as the dialog
// shows them, control geometry, and the fixture whose update starts with an
// idle worker.

#include <windows.h>
#include <commctrl.h>
#include <process.h>

#include <functional>

#include "resource.h"
#include "ui_test_support.h"
#include "updater/base/scoped_handle.h"
#include "updater/ui/size_text.h"
#include "updater/ui/update_dialog.h"

namespace dialog_test {

inline const char kWaitText[] = "更新需要一段时间，请耐心等待...";

inline FileTable ThreeFiles() {
  FileTable files;
  files.Set("\\Halvix.exe", "http://u.example/Halvix.exe");
  files.Set("\\codec\\b.ocx", "http://u.example/codec/b.ocx");
  files.Set("\\skin\\c.zip", "http://u.example/skin/c.zip");
  return files;
}

inline std::vector<std::vector<std::string>> Rows(HWND list) {
  std::vector<std::vector<std::string>> rows;
  for (int r = 0; r < ItemCount(list); ++r) {
    rows.push_back({ItemText(list, r, 0), ItemText(list, r, 1), ItemText(list, r, 2)});
  }
  return rows;
}

inline int ProgressPos(HWND bar) { return static_cast<int>(SendMessageA(bar, PBM_GETPOS, 0, 0)); }

// Position and size in pixels; the size is converted on its own, as the
// dialog manager does.
inline RECT DialogUnits(HWND dialog, int left, int top, int width, int height) {
  RECT rc{left, top, width, height};
  MapDialogRect(dialog, &rc);
  return rc;
}

inline RECT ChildRect(HWND child) {
  RECT rc;
  GetWindowRect(child, &rc);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rc), 2);
  return rc;
}

class UpdateDialogTest : public DialogTest {
 protected:
  // Starts the update with a worker that ends at once without a result, so
  // the columns exist and the test makes the worker's calls itself.
  void StartIdleUpdate() {
    SetWorkerScript([](const WorkerRun&) { return -1; });
    dialog->StartUpdate();
  }
};

}  // namespace dialog_test
