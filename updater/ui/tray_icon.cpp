#include "updater/ui/tray_icon.h"

#include <cstring>

#include "updater/base/run_log.h"
#include "updater/ui/dialog_messages.h"
#include "updater/ui/resource.h"
#include "updater/ui/tray_text.h"

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

BOOL TrayIcon::Add() {
  NOTIFYICONDATAA data = BlankNotifyData(owner_);
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
  data.uCallbackMessage = WM_TRAY_NOTIFY;
  data.hIcon = LoadTrayIcon(IDI_MAIN);
  CopyCut(data.szTip, sizeof data.szTip, "Mirelo正在更新，请耐心等待...", sizeof data.szTip - 1);
  return shell_.Call(NIM_ADD, data, kCallWaitMs);
}

BOOL TrayIcon::ShowBalloon(const std::string& text, const std::string& title) {
  if (!text.empty()) run_log::Event("balloon").Add("title", title).Add("text", text);
  NOTIFYICONDATAA data = BlankNotifyData(owner_);
  data.uFlags = NIF_INFO;
  CopyCut(data.szInfo, sizeof data.szInfo, text, kBalloonTextMax);
  CopyCut(data.szInfoTitle, sizeof data.szInfoTitle, title, kBalloonTitleMax);
  data.dwInfoFlags = NIIF_INFO;
  data.uTimeout = 0;
  return shell_.Call(NIM_MODIFY, data, kCallWaitMs);
}

BOOL TrayIcon::SetIcon(int iconId) {
  NOTIFYICONDATAA data = BlankNotifyData(owner_);
  data.uFlags = NIF_ICON;
  data.hIcon = LoadTrayIcon(iconId);
  return shell_.Call(NIM_MODIFY, data, kCallWaitMs);
}

BOOL TrayIcon::Remove() {
  NOTIFYICONDATAA data = BlankNotifyData(owner_ && IsWindow(owner_) ? owner_ : nullptr);
  return shell_.Call(NIM_DELETE, data, kRemoveWaitMs);
}

BOOL TrayIcon::ShowNextFrame() {
  animationCounter_ %= 3;
  const BOOL shown = SetIcon(kAnimationFrames[animationCounter_]);
  ++animationCounter_;
  return shown;
}
