#include "ui_test_support.h"

#include <commctrl.h>
#include <process.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_scriptMutex;
std::atomic<int> g_running{0};
// Every scripted worker's thread: one that was terminated never counts itself out.
std::vector<HANDLE> g_workerThreads;

bool ScriptedWorkersEnded() {
  for (HANDLE thread : g_workerThreads) {
    if (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) return false;
  }
  return true;
}
WorkerScript g_script;
int g_starts = 0;

struct WorkerStart {
  WorkerScript script;
  WorkerRun* run;
};

unsigned __stdcall ScriptedThread(void* param) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(param));
  const int result = start->script ? start->script(*start->run) : -1;
  if (result >= 0) SendMessageA(start->run->resultWindow, WM_UPDATE_RESULT, result, 0);
  --g_running;
  return 0;
}

unsigned __stdcall RunFunction(void* param) {
  (*static_cast<const std::function<void()>*>(param))();
  return 0;
}

}  // namespace

std::vector<ShellCall>& ShellCalls() {
  static std::vector<ShellCall> calls;
  return calls;
}
std::vector<BoxCall>& MessageBoxes() {
  static std::vector<BoxCall> calls;
  return calls;
}
std::vector<std::string>& WinExecCalls() {
  static std::vector<std::string> calls;
  return calls;
}

BOOL WINAPI RecordShell(DWORD command, PNOTIFYICONDATAA data) {
  ShellCall call{command, {}, GetCurrentThreadId()};
  std::memcpy(&call.data, data, sizeof call.data);
  ShellCalls().push_back(call);
  return TRUE;
}

HANDLE ShellFree() {
  static HANDLE free = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  return free;
}

namespace {
volatile LONG g_shellWaiting = 0;
}  // namespace

LONG ShellCallsWaiting() { return InterlockedCompareExchange(&g_shellWaiting, 0, 0); }

BOOL WINAPI BusyShell(DWORD command, PNOTIFYICONDATAA data) {
  InterlockedIncrement(&g_shellWaiting);
  WaitForSingleObject(ShellFree(), 10000);
  InterlockedDecrement(&g_shellWaiting);
  return RecordShell(command, data);
}

int WINAPI RecordMessageBox(HWND, LPCSTR text, LPCSTR title, UINT type) {
  MessageBoxes().push_back({text ? text : "", title ? title : "", type});
  return IDOK;
}

UINT WINAPI RecordWinExec(LPCSTR command, UINT) {
  WinExecCalls().push_back(command);
  return 33;
}

void SetWorkerScript(WorkerScript script) {
  std::lock_guard<std::mutex> lock(g_scriptMutex);
  g_script = std::move(script);
}

int WorkerStarts() { return g_starts; }

HANDLE StartScriptedWorker(WorkerRun* run) {
  ++g_starts;
  auto* start = new WorkerStart{g_script, run};
  ++g_running;
  const uintptr_t h = _beginthreadex(nullptr, 0, ScriptedThread, start, 0, nullptr);
  if (!h) {
    --g_running;
    delete start;
  } else {
    HANDLE own = nullptr;
    DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(h), GetCurrentProcess(), &own, SYNCHRONIZE,
                    FALSE, 0);
    if (own) g_workerThreads.push_back(own);
  }
  return reinterpret_cast<HANDLE>(h);
}

HANDLE FailToStartWorker(WorkerRun*) {
  ++g_starts;
  return nullptr;
}

HANDLE WorkerGate() {
  static HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return gate;
}

// Serves every queued message except WM_QUIT, which stays for TakeQuit.
void ServeQueued() {
  MSG msg;
  for (;;) {
    if (!PeekMessageA(&msg, nullptr, 0, WM_QUIT - 1, PM_REMOVE) &&
        !PeekMessageA(&msg, nullptr, WM_QUIT + 1, 0xFFFFFFFF, PM_REMOVE)) {
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start >= timeoutMs) return false;
    ServeQueued();
    if (done()) return true;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return true;
}

void RunOnWorker(const std::function<void()>& fn) {
  HANDLE thread = reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, RunFunction, const_cast<std::function<void()>*>(&fn), 0, nullptr));
  ASSERT_NE(thread, nullptr);
  for (;;) {
    const DWORD woke = MsgWaitForMultipleObjects(1, &thread, FALSE, 10000, QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0) break;
    ASSERT_EQ(woke, WAIT_OBJECT_0 + 1) << "worker did not end";
    ServeQueued();
  }
  CloseHandle(thread);
}

bool TakeQuit() {
  MSG msg;
  bool found = false;
  while (PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) found = true;
  return found;
}

void DrainMessages() { ServeQueued(); }

std::string ItemText(HWND list, int row, int column) {
  char text[512] = "";
  LVITEMA item{};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = sizeof text;
  SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
  return text;
}

int ItemCount(HWND list) { return static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0)); }

std::string WindowText(HWND hwnd) {
  char text[512] = "";
  GetWindowTextA(hwnd, text, sizeof text);
  return text;
}

std::vector<std::string> Balloons() {
  std::vector<std::string> texts;
  for (const auto& call : ShellCalls()) {
    if (call.command == NIM_MODIFY && (call.data.uFlags & NIF_INFO)) texts.push_back(call.data.szInfo);
  }
  return texts;
}

const ShellCall* LastBalloon() {
  const ShellCall* last = nullptr;
  for (const auto& call : ShellCalls()) {
    if (call.command == NIM_MODIFY && (call.data.uFlags & NIF_INFO)) last = &call;
  }
  return last;
}

void DialogTest::SetUp() {
  ShellCalls().clear();
  MessageBoxes().clear();
  WinExecCalls().clear();
  ResetEvent(WorkerGate());
  SetEvent(ShellFree());
  SetWorkerScript(nullptr);
  g_starts = 0;
  TakeQuit();
}

void DialogTest::Make(int forceUpdate, StartWorkerThread startWorker) {
  app = DialogSettings();
  app.forceUpdate = forceUpdate != 0;
  app.exeFolder = "C:\\torvane-ui-test\\";
  DialogHooks hooks;
  hooks.shellNotify = shellNotify;
  hooks.messageBox = RecordMessageBox;
  hooks.winExec = RecordWinExec;
  hooks.startWorker = startWorker;
  hooks.workerStopWaitMs = workerStopWaitMs;
  dialog = std::make_unique<UpdateDialog>(app, hooks);
  ASSERT_TRUE(dialog->Create());
  ShowWindow(dialog->hwnd(), SW_HIDE);
  dialog->link().messageBox = RecordMessageBox;
}

void DialogTest::StartGatedUpdate() {
  SetWorkerScript([](const WorkerRun&) {
    WaitForSingleObject(WorkerGate(), 20000);
    return 0;
  });
  dialog->StartUpdate();
  ASSERT_NE(dialog->job(), nullptr);
}

void DialogTest::FinishGatedUpdate() {
  SetEvent(WorkerGate());
  ASSERT_TRUE(PumpUntil([&] { return dialog->finished(); }));
}

void DialogTest::TearDown() {
  // Let every scripted worker end before the dialog goes: one still at the
  // gate is let through, and its result is served.
  SetEvent(WorkerGate());
  SetEvent(ShellFree());
  PumpUntil(ScriptedWorkersEnded, 20000);
  for (HANDLE thread : g_workerThreads) CloseHandle(thread);
  g_workerThreads.clear();
  dialog.reset();
  DrainMessages();
  TakeQuit();
}
