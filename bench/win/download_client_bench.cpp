// The download client as a run uses it: DownloadFile on a worker thread, its
// progress reported to the real, hidden update dialog owned by this
// (user-interface) thread, whose message loop runs meanwhile.
//
//   download_client_bench [--out FOLDER] [--no-bar | --sync-bar] URL...
//
// --no-bar drops the dialog (the reports go nowhere), which separates the cost
// of showing progress from that of the transfer itself; --sync-bar sends every
// report to a bare progress bar and waits for it, as the dialog once did.
// Files are written as FOLDER\0.bin, FOLDER\1.bin... Prints the files, bytes,
// seconds and MiB/s of the whole run on one line starting with "DownloadFile:".
// Exit code 1 when any download failed.

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "updater/core/update_job.h"
#include "updater/ui/resource.h"
#include "updater/ui/update_dialog.h"

namespace {

// Forwards the two progress-bar calls to a progress bar and waits for each
// (to nothing when bar is null).
class ProgressBarObserver : public UpdateObserver {
 public:
  explicit ProgressBarObserver(HWND bar) : bar_(bar) {}
  void FillFileList(const FileTable&) override {}
  bool ReportFileProgress(const std::string& path, int, int32_t) override { return !path.empty(); }
  void SetProgressStep(int step) override {
    if (bar_ != nullptr) SendMessageA(bar_, PBM_SETSTEP, step, 0);
  }
  void StepProgress() override {
    if (bar_ != nullptr) SendMessageA(bar_, PBM_STEPIT, 0, 0);
  }

 private:
  HWND bar_;
};

struct Run {
  UpdateJob job;
  std::vector<std::string> urls;
  std::string folder;
  long long bytes = 0;
  int failed = 0;
  DWORD uiThread = 0;
};

long long FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

DWORD WINAPI Worker(void* argument) {
  Run* run = static_cast<Run*>(argument);
  for (std::size_t i = 0; i < run->urls.size(); ++i) {
    const std::string local = run->folder + "\\" + std::to_string(i) + ".bin";
    bool ok = false;
    try {
      ok = run->job.DownloadFile(local, run->urls[i], kInstallFileMaxBytes);
    } catch (const TransferError&) {
    }
    if (ok) {
      run->bytes += FileSize(local);
    } else {
      ++run->failed;
      std::fprintf(stderr, "download_client_bench: failed: %s\n", run->urls[i].c_str());
    }
  }
  PostThreadMessageA(run->uiThread, WM_QUIT, 0, 0);
  return 0;
}

// The tray icon of the benchmark's dialog stays out of the notification area.
BOOL WINAPI NoTrayIcon(DWORD, PNOTIFYICONDATAA) { return TRUE; }

}  // namespace

int main(int argc, char** argv) {
  Run run;
  run.folder = ".";
  enum class Shown { Dialog, Nothing, SyncBar } shown = Shown::Dialog;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--no-bar") {
      shown = Shown::Nothing;
    } else if (arg == "--sync-bar") {
      shown = Shown::SyncBar;
    } else if (arg == "--out" && i + 1 < argc) {
      run.folder = argv[++i];
    } else {
      run.urls.push_back(arg);
    }
  }
  if (run.urls.empty()) {
    std::fprintf(stderr, "usage: download_client_bench [--out FOLDER] [--no-bar | --sync-bar] URL...\n");
    return 2;
  }

  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_POPUP, 0, 0, 300, 20, nullptr, nullptr,
                             GetModuleHandleA(nullptr), nullptr);
  if (bar == nullptr) {
    std::fprintf(stderr, "download_client_bench: no progress bar\n");
    return 2;
  }
  SendMessageA(bar, PBM_SETRANGE32, 0, 1000);
  ProgressBarObserver observer(shown == Shown::SyncBar ? bar : nullptr);

  DialogSettings settings;
  settings.exeFolder = ".\\";
  DialogHooks hooks;
  hooks.shellNotify = NoTrayIcon;
  UpdateDialog dialog(settings, hooks);
  if (shown == Shown::Dialog) {
    if (!dialog.Create()) {
      std::fprintf(stderr, "download_client_bench: no dialog\n");
      return 2;
    }
    ShowWindow(dialog.hwnd(), SW_HIDE);
    SendMessageA(GetDlgItem(dialog.hwnd(), IDC_PROGRESS), PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
    // The dialog shows the bodies' progress on the tray animation's ticks.
    SetTimer(dialog.hwnd(), TIMER_TRAY_ANIMATION, 200, nullptr);
    FileTable rows;
    for (std::size_t i = 0; i < run.urls.size(); ++i) rows.Set("\\" + std::to_string(i) + ".bin", run.urls[i]);
    dialog.progress().FillFileList(rows);
    run.job.SetOwner(&dialog.progress());
  } else {
    run.job.SetOwner(&observer);
  }
  run.job.state().tempFolder = run.folder;
  run.uiThread = GetCurrentThreadId();

  // The queue must exist before the worker can post WM_QUIT to it.
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  const auto start = std::chrono::steady_clock::now();
  HANDLE worker = CreateThread(nullptr, 0, Worker, &run, 0, nullptr);
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (dialog.hwnd() != nullptr && IsDialogMessageA(dialog.hwnd(), &msg)) continue;
    DispatchMessageA(&msg);
  }
  WaitForSingleObject(worker, INFINITE);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  CloseHandle(worker);
  DestroyWindow(bar);

  const char* what = shown == Shown::Dialog ? "" : shown == Shown::Nothing ? " (no bar)" : " (synchronous bar)";
  std::printf("DownloadFile%s: %zu files, %lld bytes, %.3f s, %.1f MiB/s\n", what, run.urls.size(), run.bytes,
              seconds, run.bytes / 1048576.0 / seconds);
  return run.failed ? 1 : 0;
}
