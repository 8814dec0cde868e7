// Start-up, the message loop and the shutdown of Quillet.
#include <windows.h>

#include <string>

#include "helper/helper_state.h"
#include "helper/resource.h"
#include "mirelo_version.h"
#include "updater/base/run_log.h"

namespace quillet {
namespace {

// What is left of the style once the caption is gone: WS_BORDER and WS_DLGFRAME cleared.
constexpr LONG kNoCaptionMask = static_cast<LONG>(0xFF3FFFFF);
// SWP_NOSIZE | SWP_FRAMECHANGED | SWP_HIDEWINDOW: the frame changes while the window is still hidden.
constexpr UINT kFrameChangeFlags = SWP_NOSIZE | SWP_FRAMECHANGED | SWP_HIDEWINDOW;
static_assert(kFrameChangeFlags == 0xA1, "frame change flags");
constexpr DWORD kEndedInstanceWaitMs = 5000;

// A newer instance takes over: the running one, if any, leaves its message loop.
// Returns that instance's process id, or 0.
DWORD EndRunningInstance() {
  HWND running = FindWindowW(kMainWindowClass, nullptr);
  if (!running) return 0;
  DWORD process = 0;
  GetWindowThreadProcessId(running, &process);
  PostMessageW(running, WM_QUIT, 0, 0);
  return process;
}

// An update that replaced Quillet.exe while an instance ran moved that copy
// aside (Quillet.exe.bak). Once the instance just ended has gone (waited for a
// few seconds at most), nothing runs from it any more.
void RemoveOwnAsideCopy(DWORD endedProcess) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  const std::wstring aside = std::wstring(path, length) + L".bak";
  const DWORD attributes = GetFileAttributesW(aside.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
  if (endedProcess != 0) {
    if (HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, endedProcess)) {
      WaitForSingleObject(process, kEndedInstanceWaitMs);
      CloseHandle(process);
    }
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(aside.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  DeleteFileW(aside.c_str());
}

void RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = MainWindowProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_QUILLET));
  wc.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_QUILLET));
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = kMainWindowClass;
  RegisterClassExW(&wc);
}

POINT CentredOrigin() {
  return {(GetSystemMetrics(SM_CXSCREEN) - kWindowWidth) / 2, (GetSystemMetrics(SM_CYSCREEN) - kWindowHeight) / 2};
}

HWND CreateMainWindow(HelperState& state, POINT origin) {
  return CreateWindowExW(0, kMainWindowClass, kMainWindowTitle,
                         WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX, origin.x, origin.y, kWindowWidth,
                         kWindowHeight, nullptr, nullptr, state.instance, &state);
}

// Quillet.log beside the program; empty when the program's path is not known.
std::wstring LogPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  std::wstring folder(path, length);
  return folder.substr(0, folder.rfind(L'\\') + 1) + L"Quillet.log";
}

void RunMessageLoop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (TranslateAcceleratorW(msg.hwnd, nullptr, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace

int RunHelper(HINSTANCE instance, const std::wstring& modeText) {
  const HelperMode mode = ParseHelperMode(modeText);
  RemoveOwnAsideCopy(EndRunningInstance());
  // One line as the run starts and one as it ends, whichever way it ends.
  run_log::LogFile log;
  const std::wstring logPath = LogPath();
  if (!logPath.empty()) log.Open(logPath);
  run_log::Event("start").Add("mode", modeText).Add("pid", GetCurrentProcessId()).Add("version", MIRELO_VERSION_TEXT);
  run_log::Event end("end");
  end.Add("pid", GetCurrentProcessId());

  // The owners of the run, in start-up order. They shut down in the reverse
  // order on every path: the state (main window with the hosted control,
  // control pointers, skin pictures; see HelperState), then GDI+, then COM.
  ComApartment com;
  const bool recommend = mode == HelperMode::Recommend;
  GdiplusSession gdiplus(recommend);
  HelperState state;
  state.instance = instance;
  state.modeText = modeText;
  state.mode = mode;
  if (recommend) LoadSkin(state);
  RegisterMainWindowClass(instance);

  const POINT origin = CentredOrigin();
  state.mainWindow.reset(CreateMainWindow(state, origin));
  if (!state.mainWindow) {
    end.Add("reason", "no window").Error(GetLastError());
    return 0;
  }
  HWND window = state.mainWindow.get();
  ShowWindow(window, SW_HIDE);
  switch (mode) {
    case HelperMode::Recommend:
      HostBrowser(state, window);
      break;
    case HelperMode::WriteCookie:
    case HelperMode::ClearCookie:
      HostFlash(state, window);
      SetTimer(window, kCookieTimer, kCookieTimerPeriod, CookieTimerTick);
      break;
    case HelperMode::Unknown:
      end.Add("reason", "unknown mode");
      return 0;
  }
  SetWindowLongW(window, GWL_STYLE, GetWindowLongW(window, GWL_STYLE) & kNoCaptionMask);
  SetWindowPos(window, HWND_TOP, origin.x, origin.y, 0, 0, kFrameChangeFlags);
  ShowWindow(window, recommend ? SW_SHOW : SW_HIDE);
  UpdateWindow(window);
  RunMessageLoop();
  end.Add("reason", state.exitReason);
  // Every quit this program or a newer instance posts carries 0; a quit with
  // another code from some other process does not change the outcome.
  return 0;
}

}  // namespace quillet
