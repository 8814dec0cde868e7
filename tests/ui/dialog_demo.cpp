// Shows the updater's face for the documentation's screenshots:
//   torvane_dialog_demo prompt    the start-up prompt balloon (forced mode)
//   torvane_dialog_demo success   the forced timeline: the prompt times out, the
//                                 run lists files and succeeds
//   torvane_dialog_demo dialog    the dialog itself, shown, with a list of files
//   torvane_dialog_demo idle      nothing: keeps a Wine desktop and its tray up,
//                                 so that a prompt shown at start-up finds them
// The program ends by itself after a few seconds (a second argument gives the
// milliseconds). The worker here is scripted; nothing is downloaded and the
// client is not started.

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "updater/ui/update_dialog.h"

namespace {

DialogSettings g_app;
bool g_sendResult = false;

UINT WINAPI NoRestart(LPCSTR, UINT) { return 33; }

unsigned __stdcall ScriptedWorker(void* param) {
  const auto* run = static_cast<const WorkerRun*>(param);
  UpdateObserver* dialog = run->observer;
  FileTable files;
  files.Set("\\Halvix.exe", "http://update.example/halvix/Halvix.exe");
  files.Set("\\codec\\mvdec.ocx", "http://update.example/halvix/codec/mvdec.ocx");
  files.Set("\\skin\\default.zip", "http://update.example/halvix/skin/default.zip");
  files.Set("\\player\\render.dll", "http://update.example/halvix/player/render.dll");
  dialog->FillFileList(files);
  dialog->ReportFileProgress("\\Halvix.exe", DownloadStarted, 1843200);
  dialog->ReportFileProgress("\\Halvix.exe", Downloaded, 1843200);
  dialog->ReportFileProgress("\\Halvix.exe", Installed, 0);
  dialog->ReportFileProgress("\\codec\\mvdec.ocx", DownloadStarted, 412345);
  dialog->SetProgressStep(100);
  for (int i = 0; i < 6; ++i) dialog->StepProgress();
  dialog->ReportFileProgress("\\codec\\mvdec.ocx", Downloading, 251032);
  if (g_sendResult) SendMessageA(run->resultWindow, WM_UPDATE_RESULT, 1, 0);
  return 0;
}

HANDLE StartScripted(WorkerRun* run) {
  return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ScriptedWorker, run, 0, nullptr));
}

std::string OwnFolder() {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder = path;
  return folder.substr(0, folder.rfind('\\') + 1);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const std::string mode = __argc > 1 ? __argv[1] : "dialog";
  const UINT lifeMs = __argc > 2 ? static_cast<UINT>(std::atoi(__argv[2])) : 8000;
  if (mode == "idle") {
    Sleep(lifeMs);
    return 0;
  }
  g_app.exeFolder = OwnFolder();
  g_app.forceUpdate = true;
  g_sendResult = mode == "success";

  DialogHooks hooks;
  hooks.startWorker = StartScripted;
  hooks.winExec = NoRestart;
  UpdateDialog dialog(g_app, hooks);
  if (!dialog.Create()) return 1;
  ShowWindow(dialog.hwnd(), mode == "dialog" ? SW_SHOW : SW_HIDE);
  UpdateWindow(dialog.hwnd());
  // The other modes start when the prompt times out, as a forced update does.
  if (mode == "dialog") dialog.StartUpdate();

  // A thread timer, so that the dialog's own timers stay as they are.
  SetTimer(nullptr, 0, lifeMs, nullptr);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER && msg.hwnd == nullptr) break;
    if (IsDialogMessageA(dialog.hwnd(), &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  dialog.tray().Remove();
  return 0;
}
