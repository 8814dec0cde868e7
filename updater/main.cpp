// Torvane's process: the start-up checks, the hidden dialog's message loop and
// the clean-up at exit. The update itself runs on the dialog's worker thread.

#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "updater/base/manifest_keys.h"
#include "updater/base/module_path.h"
#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/base/update_job_state.h"
#include "updater/core/client_settings.h"
#include "updater/core/command_line.h"
#include "updater/core/file_version.h"
#include "updater/core/folder_lock.h"
#include "updater/core/install_journal_file.h"
#include "updater/core/install_paths.h"
#include "updater/core/outcome_reporter.h"
#include "updater/core/update_job.h"
#include "updater/ui/resource.h"
#include "updater/ui/update_dialog.h"
#include "updater/updater_app.h"

namespace {

// Present while the client runs; the client creates it, the updater only looks.
const char kClientMappingName[] = "__HALVIX_QOTV_FILEMAPPING__1745064598";
constexpr DWORD kClientPollMs = 1500;

bool StartSockets(HINSTANCE instance) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) == 0) {
    if (data.wVersion == MAKEWORD(1, 1)) return true;
    WSACleanup();
  }
  char text[256] = {};
  LoadStringA(instance, IDS_SOCKETS_INIT_FAILED, text, sizeof(text));
  MessageBoxA(nullptr, text, nullptr, MB_OK | MB_ICONSTOP);
  return false;
}

bool ClientIsRunning() {
  return static_cast<bool>(UniqueHandle(OpenFileMappingA(FILE_MAP_READ, TRUE, kClientMappingName)));
}

void WaitForClientExit() {
  if (!ClientIsRunning()) return;
  run_log::Event("client_wait").Add("state", "running");
  const ULONGLONG start = GetTickCount64();
  while (ClientIsRunning()) Sleep(kClientPollMs);
  run_log::Event("client_wait").Add("state", "exited").Add("ms", GetTickCount64() - start);
}

// Whether a run left its install journal in the client folder.
bool HasInstallJournal(const std::string& exeFolder) {
  const std::string journal = WorkFoldersOf(exeFolder).backupFolder + "\\" + install_journal::kFileName;
  return GetFileAttributesA(journal.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// What support needs to know of the machine and the build before any step.
void LogRunHeader(const UpdaterApp& app) {
  FileVersion own;
  ReadFileVersion(std::string(), own);
  run_log::Event("start")
      .Add("version", own.text)
      .Add("command_line", GetCommandLineA())
      .Add("folder", app.exeFolder)
      .Add("windows", run_log::WindowsVersion())
      .Add("ansi_code_page", GetACP())
      .Add("manifest_keys", BuiltInManifestKeys().size());
}

// An update that replaced this program while it ran moved the running copy
// aside (Torvane.exe.bak); once no updater of the folder runs and no kept
// journal may still put it back, it is only clutter.
void RemoveOwnAsideCopy(const std::string& modulePath, const std::string& exeFolder) {
  if (HasUnplayedJournal(WorkFoldersOf(exeFolder).backupFolder)) return;
  const std::string aside = modulePath + ".bak";
  const DWORD attributes = GetFileAttributesA(aside.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesA(aside.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  run_log::Event removed("aside_copy");
  removed.Add("file", aside);
  if (!DeleteFileA(aside.c_str())) removed.Add("failed", "delete").Error(GetLastError());
}

// The start-up checks, up to the point where the dialog is created. False ends
// the process at once, with nothing touched and nothing shown but the message
// of a failed Windows Sockets start.
bool StartUp(HINSTANCE instance, UpdaterApp& app, FolderLock& folderLock, run_log::LogFile& log) {
  UpdateMode mode;
  if (!ParseUpdateMode(__argc, __argv, mode)) return false;
  app.forceUpdate = mode == UpdateMode::Forced ? 1 : 0;

  if (!StartSockets(instance)) return false;

  std::string modulePath;
  if (!ReadModulePath(modulePath)) return false;
  app.exeFolder = FolderOfModulePath(modulePath, IsAnsiLeadByte);
  if (app.exeFolder.empty()) return false;
  // As soon as the folder is known: a second updater of the folder ends before
  // it looks at anything, and above all before the play-back below could undo
  // the files of a run that is still alive.
  if (!folderLock.Acquire(app.exeFolder)) return false;

  // Without its settings file the updater has nothing to do but undo a run
  // that was killed part-way: that never waits for the next update.
  const std::string settingsPath = SettingsPathFor(app.exeFolder);
  const bool settingsFound = !settingsPath.empty() && FileFound(settingsPath);
  if (!settingsFound && !HasInstallJournal(app.exeFolder)) return false;
  // A start that does nothing leaves no trace; from here on, a run is logged.
  if (log.Open(app.exeFolder + install_paths::kRunLogFileName)) LogRunHeader(app);

  // The client's files cannot be replaced while it runs; it may take as long
  // as it likes to exit.
  WaitForClientExit();
  // A run that was killed part-way is undone before anything else touches the
  // work folders; the order in Upgrade.cfg then tries the update again.
  RecoverInterruptedInstall(app.exeFolder);
  RemoveOwnAsideCopy(modulePath, app.exeFolder);
  return settingsFound;
}

void ExitCleanUp(const UpdaterApp& app, UpdateDialog& dialog) {
  dialog.tray().Remove();
  // A journal that could not be played back keeps its work folders for the
  // next start.
  RemoveWorkFolders(WorkFoldersOf(app.exeFolder));
  WSACleanup();
}

void RunMessageLoop(HWND dialog) {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (IsDialogMessageA(dialog, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  UpdaterApp app;
  FolderLock folderLock;
  run_log::LogFile log;
  // From the first event on: a start that only plays a journal back reports too.
  OutcomeReporter report;
  if (!StartUp(instance, app, folderLock, log)) {
    report.Finish(app.exeFolder);
    return 0;
  }
  report.ReadSettings(app.exeFolder);

  const DialogSettings settings{app.exeFolder, app.forceUpdate != 0, BuiltInManifestKeys()};
  UpdateDialog dialog(settings);
  // Without its window nothing could drive the program (timers, tray events),
  // so a dialog that cannot be created ends the run like an exit.
  if (dialog.Create()) {
    ShowWindow(dialog.hwnd(), SW_HIDE);
    UpdateWindow(dialog.hwnd());
    RunMessageLoop(dialog.hwnd());
    // A WM_QUIT from anywhere may end the loop while the worker runs.
    dialog.StopBeforeExit();
  }
  ExitCleanUp(app, dialog);
  report.Finish(app.exeFolder);
  run_log::Event("exit").Add("code", 0);
  return 0;
}
