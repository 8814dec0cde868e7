#pragma once
// The notification-area icon (id 140) of a window, its balloons and its
// animation. It only speaks to the shell; what a click or a time-out means is
// the dialog's decision. User-interface thread.

#include <windows.h>
#include <shellapi.h>

#include <string>

class TrayIcon {
 public:
  using ShellNotify = BOOL(WINAPI*)(DWORD, PNOTIFYICONDATAA);
  explicit TrayIcon(ShellNotify shellNotify) : shellNotify_(shellNotify) {}

  // The window that owns the icon and receives WM_TRAY_NOTIFY.
  void Attach(HWND owner) { owner_ = owner; }

  BOOL Add();
  BOOL ShowBalloon(const std::string& text, const std::string& title);
  BOOL SetIcon(int iconId);
  BOOL Remove();
  // The next of the three frames, starting with the first at the process's
  // first tick.
  BOOL ShowNextFrame();

 private:
  ShellNotify shellNotify_;
  HWND owner_ = nullptr;
  int animationCounter_ = 0;
};
