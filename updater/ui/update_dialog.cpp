#include "updater/ui/update_dialog.h"

#include <commctrl.h>

#include "updater/base/run_log.h"
#include "updater/core/install_paths.h"
#include "updater/core/update_job.h"
#include "updater/ui/about_box.h"
#include "updater/ui/prompt_state.h"
#include "updater/ui/resource.h"
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
    : settings_(settings),
      hooks_(hooks),
      tray_(hooks.shellNotify),
      worker_(settings.manifestKeys, hooks.startWorker, hooks.workerStopWaitMs) {}

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
      progress_.ShowPending();
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
  retryButton_ = GetDlgItem(hwnd_, IDOK);
  tray_.Attach(hwnd_);
  progress_.Attach(hwnd_, GetDlgItem(hwnd_, IDC_FILE_LIST), GetDlgItem(hwnd_, IDC_PROGRESS));
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

void UpdateDialog::ShowPrompt() {
  const std::string text = PromptText(settings_.forceUpdate);
  finished_ = false;
  tray_.Add();
  tray_.ShowBalloon(text, PromptTitle());
  SetTimer(hwnd_, TIMER_PROMPT, kPromptPeriodMs, nullptr);
}

void UpdateDialog::HandleTimer(UINT_PTR id) {
  if (id == TIMER_TRAY_ANIMATION) {
    // While a body arrives, its chunks are shown on the animation's ticks.
    progress_.ShowPending();
    tray_.ShowNextFrame();
  } else if (id == TIMER_PROMPT || id == TIMER_EXIT) {
    // Only the ticks that decide something: later ones come every period.
    if (!updateStarted_ || finished_) run_log::Event("timer").Add("timer", id == TIMER_PROMPT ? "prompt" : "exit");
    tray_.ShowBalloon("", "");
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

void UpdateDialog::StartUpdate() {
  // A retry may have a worker running already; its job must stay.
  if (updateStarted_ || worker_.job()) return;
  SetTimer(hwnd_, TIMER_TRAY_ANIMATION, kAnimationPeriodMs, nullptr);
  updateStarted_ = true;
  link_.SetLinkUrl(kHomePage);
  progress_.Prepare();
  progress_.ForgetRows();
  if (worker_.Start(&progress_, hwnd_)) {
    SendMessageA(retryButton_, BM_SETSTYLE, WS_DISABLED, TRUE);
    EnableWindow(retryButton_, FALSE);
    SetStatusText(kWaitText);
  } else {
    run_log::Event("worker").Error(GetLastError()).Failed("not started");
    tray_.ShowBalloon("更新失败，创建更新线程失败...", "警告");
    SetTimer(hwnd_, TIMER_EXIT, kPromptPeriodMs, nullptr);
    finished_ = true;
  }
}

void UpdateDialog::RetryUpdate() {
  if (worker_.job()) {
    hooks_.messageBox(hwnd_, "正在升级，请等待!", kMessageTitle, MB_OK);
    return;
  }
  progress_.ForgetRows();
  if (worker_.Start(&progress_, hwnd_)) {
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
  if (worker_.stopping()) {
    // A cancel waits for this worker: it decides what follows.
    worker_.NoteResult(success);
    return;
  }
  run_log::Event("result").Add("outcome", success == 1 ? "updated" : "failed");
  progress_.ShowPending();
  KillTimer(hwnd_, TIMER_TRAY_ANIMATION);
  tray_.SetIcon(IDI_MAIN);
  if (success == 1) {
    ShowSuccess();
  } else if (success == 0) {
    ShowFailure();
  }
}

void UpdateDialog::ShowSuccess() {
  progress_.ShowFinished(true);
  statusText_ = "升级成功";
  SetWindowTextA(retryButton_, "完成");
  SetStatusText(statusText_);
  EnableWindow(GetDlgItem(hwnd_, IDCANCEL), FALSE);

  FileVersion clientVersion;
  ReadFileVersion(settings_.exeFolder + install_paths::kClientExeName, clientVersion);
  const std::string message = SuccessText(clientVersion.text);
  // Quoted, so that a folder with spaces never starts another program;
  // the client still sees " /Restart" after its path.
  const std::string restart = "\"" + settings_.exeFolder + install_paths::kClientExeName + "\" /Restart";
  worker_.ReleaseJob();
  worker_.ForgetThread();
  Finish(message, "恭喜客户端升级成功");
  hooks_.winExec(restart.c_str(), SW_SHOW);
}

void UpdateDialog::ShowFailure() {
  const bool filesListed = progress_.filesListed();
  const std::string downloadUrl = worker_.job() ? worker_.job()->downloadPageUrl() : std::string();
  worker_.ForgetThread();
  worker_.RestoreAndReleaseJob();
  progress_.ShowFinished(false);
  Finish(FailureText(filesListed, downloadUrl), "升级失败");
}

void UpdateDialog::Finish(const std::string& text, const std::string& title) {
  tray_.ShowBalloon(text, title);
  SetTimer(hwnd_, TIMER_EXIT, kPromptPeriodMs, nullptr);
  finished_ = true;
}

WorkerStop UpdateDialog::StopWorker() {
  const WorkerStop stop = worker_.Stop();
  if (stop == WorkerStop::CompletedFirst) HandleUpdateResult(1);
  return stop;
}

void UpdateDialog::CancelUpdate() {
  if (worker_.stopping()) return;
  if (StopWorker() == WorkerStop::CompletedFirst) return;
  KillTimer(hwnd_, TIMER_TRAY_ANIMATION);
  worker_.RestoreAndReleaseJob();
  EndDialog(hwnd_, IDCANCEL);
  // Nothing visible would remain to end the program after a cancel.
  PostMessageA(hwnd_, WM_QUIT, 0, 0);
}

void UpdateDialog::StopBeforeExit() {
  if (worker_.stopping() || StopWorker() == WorkerStop::CompletedFirst) return;
  worker_.RestoreAndReleaseJob();
}
