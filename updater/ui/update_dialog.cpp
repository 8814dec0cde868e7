#include "updater/ui/update_dialog.h"

#include <commctrl.h>

#include <cstdio>

#include "updater/base/run_log.h"
#include "updater/base/text_rules.h"
#include "updater/core/install_paths.h"
#include "updater/ui/about_box.h"
#include "updater/ui/resource.h"
#include "updater/ui/size_text.h"
#include "updater/ui/tray_text.h"

#ifndef TORVANE_HOME_HOST
#define TORVANE_HOME_HOST "www.mirelo.com"
#endif

namespace {

constexpr UINT kAnimationPeriodMs = 200;
const char kHomePage[] = "http://" TORVANE_HOME_HOST "/";
const char kWaitText[] = "更新需要一段时间，请耐心等待...";
const char kMessageTitle[] = "升级提示";

}  // namespace

UpdateDialog::UpdateDialog(const DialogSettings& settings, const DialogHooks& hooks)
    : settings_(settings), hooks_(hooks) {}

UpdateDialog::~UpdateDialog() {
  if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
}

bool UpdateDialog::Create() {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES |
                                           ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  hwnd_ = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_UPDATE_DIALOG), nullptr,
                             DialogProc, reinterpret_cast<LPARAM>(this));
  return hwnd_ != nullptr;
}

INT_PTR CALLBACK UpdateDialog::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_INITDIALOG) {
    auto* self = reinterpret_cast<UpdateDialog*>(lParam);
    SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    self->hwnd_ = hwnd;
    return self->OnInitDialog();
  }
  auto* self = reinterpret_cast<UpdateDialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  return self ? self->HandleMessage(msg, wParam, lParam) : FALSE;
}

INT_PTR UpdateDialog::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_TIMER:
      HandleTimer(wParam);
      return FALSE;  // default processing goes on
    case WM_UPDATE_RESULT:
      HandleUpdateResult(wParam);
      return TRUE;
    case WM_SHOW_PROGRESS:
      ShowPendingProgress();
      return TRUE;
    case WM_COMMAND:
      OnCommand(wParam, lParam);
      return TRUE;
    case WM_CTLCOLORSTATIC:
      // The link colours itself, as if the message were reflected to it.
      if (reinterpret_cast<HWND>(lParam) == link_.hwnd() && link_.hwnd()) {
        return reinterpret_cast<INT_PTR>(link_.OnCtlColor(reinterpret_cast<HDC>(wParam)));
      }
      return FALSE;
    case WM_SYSCOMMAND:
      return OnSysCommand(wParam);
    case WM_PAINT:
      return OnPaint();
    case WM_QUERYDRAGICON:
      // One of the messages whose dialog result is the return value itself.
      return reinterpret_cast<INT_PTR>(icon_);
    default:
      if (msg == WM_TRAY_NOTIFY) {
        HandleTrayNotify(wParam, lParam);
        SetWindowLongPtrA(hwnd_, DWLP_MSGRESULT, 0);
        return TRUE;
      }
      return FALSE;
  }
}

BOOL UpdateDialog::OnInitDialog() {
  picture_ = GetDlgItem(hwnd_, IDC_SIDE_PICTURE);
  retryButton_ = GetDlgItem(hwnd_, IDOK);
  progress_ = GetDlgItem(hwnd_, IDC_PROGRESS);
  list_ = GetDlgItem(hwnd_, IDC_FILE_LIST);
  link_.Attach(GetDlgItem(hwnd_, IDC_HOME_LINK));
  // The first push of the status text replaces the template's text.
  SetStatusText(statusText_);

  finished_ = false;
  updateStarted_ = false;

  char about[128] = "";
  LoadStringA(GetModuleHandleA(nullptr), IDS_ABOUTBOX, about, sizeof about);
  if (HMENU menu = GetSystemMenu(hwnd_, FALSE); menu && about[0] != '\0') {
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, about);
  }

  icon_ = static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_MAIN), IMAGE_ICON,
                                        0, 0, LR_DEFAULTSIZE | LR_SHARED));
  SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  ShowPrompt();
  return TRUE;
}

void UpdateDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
  const int id = LOWORD(wParam);
  const int code = HIWORD(wParam);
  if (id == IDC_HOME_LINK && code == STN_CLICKED && reinterpret_cast<HWND>(lParam) == link_.hwnd()) {
    link_.OnClicked();
  } else if (id == IDOK && code == BN_CLICKED) {
    RetryUpdate();
  } else if (id == IDCANCEL && code == BN_CLICKED) {
    CancelUpdate();
  }
}

bool UpdateDialog::OnSysCommand(WPARAM wParam) {
  if ((wParam & 0xFFF0) != IDM_ABOUTBOX) return false;
  ShowAboutBox(hwnd_);
  return true;
}

bool UpdateDialog::OnPaint() {
  if (!IsIconic(hwnd_)) return false;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd_, &ps);
  SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT rc;
  GetClientRect(hwnd_, &rc);
  const int cx = GetSystemMetrics(SM_CXICON);
  const int cy = GetSystemMetrics(SM_CYICON);
  DrawIcon(dc, (rc.right - rc.left - cx + 1) / 2, (rc.bottom - rc.top - cy + 1) / 2, icon_);
  EndPaint(hwnd_, &ps);
  return true;
}

void UpdateDialog::SetStatusText(const std::string& text) {
  statusText_ = text;
  SetDlgItemTextA(hwnd_, IDC_STATUS_TEXT, statusText_.c_str());
}

void UpdateDialog::StartUpdate() {
  // A retry may have a worker running already; its job must stay.
  if (updateStarted_ || job_) return;
  SetTimer(hwnd_, TIMER_TRAY_ANIMATION, kAnimationPeriodMs, nullptr);
  updateStarted_ = true;
  link_.SetLinkUrl(kHomePage);
  SendMessageA(progress_, PBM_SETRANGE, 0, MAKELPARAM(0, kProgressMax));
  InsertColumns();
  if (LaunchWorker()) {
    SendMessageA(retryButton_, BM_SETSTYLE, WS_DISABLED, TRUE);
    EnableWindow(retryButton_, FALSE);
    SetStatusText(kWaitText);
  } else {
    run_log::Event("worker").Error(GetLastError()).Failed("not started");
    ShowBalloon("更新失败，创建更新线程失败...", "警告");
    SetTimer(hwnd_, TIMER_EXIT, kPromptPeriodMs, nullptr);
    finished_ = true;
  }
}

void UpdateDialog::RetryUpdate() {
  if (job_) {
    hooks_.messageBox(hwnd_, "正在升级，请等待!", kMessageTitle, MB_OK);
    return;
  }
  if (LaunchWorker()) {
    // The exit that a failure scheduled must not cut the new run short.
    KillTimer(hwnd_, TIMER_EXIT);
    finished_ = false;
    SetStatusText(kWaitText);
  } else {
    SetStatusText("升级失败");
    hooks_.messageBox(hwnd_, "升级失败", kMessageTitle, MB_OK);
  }
}

void UpdateDialog::HandleUpdateResult(WPARAM success) {
  if (cancelling_) {
    cancelResult_ = static_cast<int>(success);
    return;
  }
  run_log::Event("result").Add("outcome", success == 1 ? "updated" : "failed");
  ShowPendingProgress();
  KillTimer(hwnd_, TIMER_TRAY_ANIMATION);
  SetTrayIcon(IDI_MAIN);

  if (success == 1) {
    SendMessageA(progress_, PBM_SETPOS, kProgressMax, 0);
    statusText_ = "升级成功";
    SetWindowTextA(retryButton_, "完成");
    SetStatusText(statusText_);
    EnableWindow(GetDlgItem(hwnd_, IDCANCEL), FALSE);

    clientVersion_ = FileVersion();
    ReadFileVersion(settings_.exeFolder + install_paths::kClientExeName, clientVersion_);
    const std::string message = SuccessText(clientVersion_.text);
    // Quoted, so that a folder with spaces never starts another program;
    // the client still sees " /Restart" after its path.
    const std::string restart = "\"" + settings_.exeFolder + install_paths::kClientExeName + "\" /Restart";
    if (job_) {
      job_.reset();
    }
    if (workerThread_) {
      Sleep(100);
      workerThread_.reset();
    }
    ShowBalloon(message, "恭喜客户端升级成功");
    SetTimer(hwnd_, TIMER_EXIT, kPromptPeriodMs, nullptr);
    finished_ = true;
    hooks_.winExec(restart.c_str(), SW_SHOW);
  } else if (success == 0) {
    const bool filesListed = !RowIndexMap.empty();
    const std::string downloadUrl = job_ ? job_->downloadPageUrl() : std::string();
    if (workerThread_) {
      Sleep(100);
      workerThread_.reset();
    }
    if (job_) {
      job_->RestoreBackups();
      job_.reset();
    }
    SendMessageA(progress_, PBM_SETPOS, 0, 0);
    ShowBalloon(FailureText(filesListed, downloadUrl), "升级失败");
    SetTimer(hwnd_, TIMER_EXIT, kPromptPeriodMs, nullptr);
    finished_ = true;
  }
}
