#pragma once
// Test doubles and helpers for driving the real dialog in-process: recorders
// for the shell, message boxes and WinExec, a scripted worker thread, and a
// message pump that waits for an event instead of sleeping.

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "updater/ui/update_dialog.h"

struct ShellCall {
  DWORD command;
  NOTIFYICONDATAA data;
  DWORD threadId;  // the thread that made the call
};
struct BoxCall {
  std::string text;
  std::string title;
  UINT type;
};

std::vector<ShellCall>& ShellCalls();
std::vector<BoxCall>& MessageBoxes();
std::vector<std::string>& WinExecCalls();
BOOL WINAPI RecordShell(DWORD command, PNOTIFYICONDATAA data);
// A shell that is busy while ShellFree() is reset: each call waits for it
// (10 s at most), then is recorded. ShellCallsWaiting() counts those waiting.
BOOL WINAPI BusyShell(DWORD command, PNOTIFYICONDATAA data);
HANDLE ShellFree();
LONG ShellCallsWaiting();
int WINAPI RecordMessageBox(HWND owner, LPCSTR text, LPCSTR title, UINT type);
UINT WINAPI RecordWinExec(LPCSTR command, UINT show);

// The worker's script: runs on the worker thread; a result of 0 or 1 is sent
// as WM_UPDATE_RESULT, a negative one sends nothing.
using WorkerScript = std::function<int(const WorkerRun&)>;
void SetWorkerScript(WorkerScript script);
int WorkerStarts();
HANDLE StartScriptedWorker(WorkerRun* run);
HANDLE FailToStartWorker(WorkerRun* run);
// A manual-reset event that scripts wait on; the test opens it.
HANDLE WorkerGate();

// Serves the thread's messages until done() holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000);
// Runs fn on a new thread while this thread serves the messages it sends.
void RunOnWorker(const std::function<void()>& fn);
// Removes a posted WM_QUIT from the queue; true when there was one.
bool TakeQuit();
// Serves everything already queued (posted messages included).
void DrainMessages();

std::string ItemText(HWND list, int row, int column);
int ItemCount(HWND list);
std::string WindowText(HWND hwnd);
std::vector<std::string> Balloons();  // texts of the NIF_INFO modifications
const ShellCall* LastBalloon();

// A created, hidden dialog with every outside call recorded.
class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void Make(int forceUpdate, StartWorkerThread startWorker = StartScriptedWorker);
  HWND Item(int id) const { return GetDlgItem(dialog->hwnd(), id); }
  void SendTray(int code) { SendMessageA(dialog->hwnd(), WM_TRAY_NOTIFY, 140, code); }
  void Tick(UINT_PTR timer) { SendMessageA(dialog->hwnd(), WM_TIMER, timer, 0); }
  // Starts the update with a worker that waits at the gate, then fails.
  void StartGatedUpdate();
  void FinishGatedUpdate();
  // Runs fn as the worker would, then lets the dialog show what it reported.
  void OnWorker(const std::function<void()>& fn) {
    RunOnWorker(fn);
    dialog->progress().ShowPending();
  }

  DialogSettings app;
  std::unique_ptr<UpdateDialog> dialog;
  DWORD workerStopWaitMs = DialogHooks().workerStopWaitMs;  // for Make
  TrayIcon::ShellNotify shellNotify = RecordShell;            // for Make
};
