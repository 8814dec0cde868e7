#pragma once
// The notification-area icon (id 140) of a window, its balloons and its
// animation. It only speaks to the shell, through calls that wait for it a
// bounded time (shell_calls.h); what a click or a time-out means is the
// dialog's decision. User-interface thread.

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "updater/ui/shell_calls.h"

class TrayIcon {
 public:
  using ShellNotify = ShellCallThread::ShellNotify;
  explicit TrayIcon(ShellNotify shellNotify) : shell_(shellNotify) {}

  // How long a call waits for a shell that answers slowly: far longer than a
  // shell that is not busy takes. Removing the icon may take Wine's shell
  // about 2 s, and an icon left behind stays until the pointer passes it.
  static constexpr DWORD kCallWaitMs = 2000;
  static constexpr DWORD kRemoveWaitMs = 5000;

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
  ShellCallThread shell_;
  HWND owner_ = nullptr;
  int animationCounter_ = 0;
};
