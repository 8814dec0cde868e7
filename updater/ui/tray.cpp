// The notification-area side of the main dialog: the icon, its balloons, the
// prompt with its five-second time-out, the animation and the timers.

#include <cstring>

#include "updater/base/run_log.h"
#include "updater/ui/prompt_state.h"
#include "updater/ui/resource.h"
#include "updater/ui/tray_text.h"
#include "updater/ui/update_dialog.h"

namespace {

// The structure as far as its balloon-icon flags field: balloons need at
// least that much, and its size differs between 32- and 64-bit builds.
constexpr DWORD kNotifyDataSize = NOTIFYICONDATAA_V2_SIZE;
constexpr UINT kTrayIconId = IDI_MAIN;
const int kAnimationFrames[3] = {IDI_TRAY_FRAME1, IDI_TRAY_FRAME2, IDI_TRAY_FRAME3};

NOTIFYICONDATAA BlankNotifyData(HWND hwnd) {
  NOTIFYICONDATAA data;
  std::memset(&data, 0, sizeof data);
  data.cbSize = kNotifyDataSize;
  data.hWnd = hwnd;
  data.uID = kTrayIconId;
  return data;
}

HICON LoadTrayIcon(int id) {
  return static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), IMAGE_ICON,
                                       GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                       LR_SHARED));
}

void CopyCut(char* field, std::size_t room, const std::string& text, std::size_t keep) {
  const std::string cut = CutMultibyte(text, keep < room ? keep : room - 1);
  std::memcpy(field, cut.c_str(), cut.size() + 1);
}

}  // namespace

BOOL UpdateDialog::AddTrayIcon() {
  NOTIFYICONDATAA data = BlankNotifyData(hwnd_);
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
  data.uCallbackMessage = WM_TRAY_NOTIFY;
  data.hIcon = LoadTrayIcon(IDI_MAIN);
  CopyCut(data.szTip, sizeof data.szTip, "Mirelo正在更新，请耐心等待...", sizeof data.szTip - 1);
  return hooks_.shellNotify(NIM_ADD, &data);
}

BOOL UpdateDialog::ShowBalloon(const std::string& text, const std::string& title) {
  if (!text.empty()) run_log::Event("balloon").Add("title", title).Add("text", text);
  NOTIFYICONDATAA data = BlankNotifyData(hwnd_);
  data.uFlags = NIF_INFO;
  CopyCut(data.szInfo, sizeof data.szInfo, text, kBalloonTextMax);
  CopyCut(data.szInfoTitle, sizeof data.szInfoTitle, title, kBalloonTitleMax);
  data.dwInfoFlags = NIIF_INFO;
  data.uTimeout = 0;
  return hooks_.shellNotify(NIM_MODIFY, &data);
}

BOOL UpdateDialog::SetTrayIcon(int iconId) {
  NOTIFYICONDATAA data = BlankNotifyData(hwnd_);
  data.uFlags = NIF_ICON;
  data.hIcon = LoadTrayIcon(iconId);
  return hooks_.shellNotify(NIM_MODIFY, &data);
}

BOOL UpdateDialog::RemoveTrayIcon() {
  NOTIFYICONDATAA data = BlankNotifyData(hwnd_ && IsWindow(hwnd_) ? hwnd_ : nullptr);
  return hooks_.shellNotify(NIM_DELETE, &data);
}

void UpdateDialog::ShowPrompt() {
  const std::string text = PromptText(settings_.forceUpdate);
  finished_ = false;
  AddTrayIcon();
  ShowBalloon(text, PromptTitle());
  SetTimer(hwnd_, TIMER_PROMPT, kPromptPeriodMs, nullptr);
}

void UpdateDialog::HandleTimer(UINT_PTR id) {
  if (id == TIMER_TRAY_ANIMATION) {
    ShowPendingProgress();
    trayAnimationCounter_ %= 3;
    SetTrayIcon(kAnimationFrames[trayAnimationCounter_]);
    ++trayAnimationCounter_;
  } else if (id == TIMER_PROMPT || id == TIMER_EXIT) {
    ShowBalloon("", "");
    SendMessageA(hwnd_, WM_TRAY_NOTIFY, 0, kBalloonTimeout);
  }
}

LRESULT UpdateDialog::HandleTrayNotify(WPARAM, LPARAM lParam) {
  const int code = LOWORD(lParam);
  switch (DecideTrayAction(code, settings_.forceUpdate, updateStarted_, finished_)) {
    case TrayAction::StartUpdate:
      StartUpdate();
      break;
    case TrayAction::Quit:
      PostMessageA(hwnd_, WM_QUIT, 0, 0);
      break;
    case TrayAction::None:
      break;
  }
  return 0;
}
