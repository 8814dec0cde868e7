#include "updater/ui/update_dialog.h"

#include <commctrl.h>
#include <process.h>

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

constexpr int kProgressMax = 1000;
constexpr UINT kAnimationPeriodMs = 200;
const char kHomePage[] = "http://" TORVANE_HOME_HOST "/";
const char kWaitText[] = "更新需要一段时间，请耐心等待...";
const char kMessageTitle[] = "升级提示";

HANDLE StartUpdateThread(UpdateDialog* dialog) {
  const uintptr_t handle = _beginthreadex(nullptr, 0, UpdateThreadProc, dialog, 0, nullptr);
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

unsigned __stdcall UpdateThreadProc(void* param) {
  auto* dialog = static_cast<UpdateDialog*>(param);
  bool ok = false;
  try {
    ok = dialog->job()->Run(dialog);
  } catch (...) {
    // Nothing may cross the thread's entry; an escaped error is a failed run.
    ok = false;
  }
  SendMessageA(dialog->hwnd(), WM_UPDATE_RESULT, ok ? 1 : 0, 0);
  return 0;
}

UpdateDialog::UpdateDialog(const DialogSettings& settings, const DialogHooks& hooks)
    : settings_(settings), hooks_(hooks) {
  if (!hooks_.startWorker) hooks_.startWorker = StartUpdateThread;
}

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

void UpdateDialog::InsertColumns() {
  struct Column {
    const char* heading;
    int width;
  };
  static const Column kColumns[] = {{"更新文件", 150}, {"下载文件大小", 150}, {"状态", 80}};
  for (int i = 0; i < 3; ++i) {
    LVCOLUMNA column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = LVCFMT_LEFT;
    column.cx = kColumns[i].width;
    column.pszText = const_cast<char*>(kColumns[i].heading);
    column.iSubItem = i;
    SendMessageA(list_, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&column));
  }
}

bool UpdateDialog::LaunchWorker() {
  job_ = std::make_unique<UpdateJob>();
  job_->manifestKeys = settings_.manifestKeys;
  RowIndexMap.clear();
  workerThread_.reset(hooks_.startWorker(this));
  if (workerThread_) return true;
  job_.reset();
  return false;
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

bool UpdateDialog::WaitForWorker() {
  // The worker's last act is a synchronous WM_UPDATE_RESULT to this window;
  // serving sent messages while waiting is what lets it reach its end.
  constexpr DWORD kExitCodePollMs = 50;
  HANDLE thread = workerThread_.get();
  for (;;) {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    const DWORD woke = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE);
    if (woke == WAIT_OBJECT_0) return true;
    if (woke == WAIT_OBJECT_0 + 1) continue;
    // A failed wait says nothing about the thread; its exit code does.
    DWORD code = 0;
    if (!GetExitCodeThread(thread, &code)) return false;
    if (code != STILL_ACTIVE) return true;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, kExitCodePollMs, QS_SENDMESSAGE);
  }
}

bool UpdateDialog::StopWorker() {
  if (!workerThread_) return false;
  run_log::Event("cancel").Add("worker", "running");
  cancelling_ = true;
  cancelResult_ = -1;
  if (job_) job_->Cancel();
  const bool ended = WaitForWorker();
  run_log::Event("cancel")
      .Add("worker", ended ? "ended" : "left running")
      .Add("worker_result", cancelResult_);
  cancelling_ = false;
  if (!ended) {
    // The worker may still use its job: it is left to the process's end
    // rather than released, or its backups restored, under a running worker.
    (void)job_.release();
    (void)workerThread_.release();
    return false;
  }
  workerThread_.reset();
  if (cancelResult_ == 1) {
    // The update completed before the cancel reached it: undoing it now
    // would leave old files and no settings to retry with.
    HandleUpdateResult(1);
    return true;
  }
  return false;
}

void UpdateDialog::CancelUpdate() {
  if (cancelling_) return;
  if (StopWorker()) return;
  KillTimer(hwnd_, TIMER_TRAY_ANIMATION);
  if (job_) {
    job_->RestoreBackups();
    job_.reset();
  }
  EndDialog(hwnd_, IDCANCEL);
  // Nothing visible would remain to end the program after a cancel.
  PostMessageA(hwnd_, WM_QUIT, 0, 0);
}

void UpdateDialog::StopBeforeExit() {
  if (cancelling_ || StopWorker()) return;
  if (job_) {
    job_->RestoreBackups();
    job_.reset();
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
      job_->FileUrlMap.clear();
      job_->FileHashMap.clear();
      job_->FileSha256Map.clear();
      job_->BackupMap.clear();
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
    const std::string downloadUrl = job_ ? job_->downloadUrl : std::string();
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

void UpdateDialog::SetRowText(int row, int column, const std::string& text) {
  LVITEMA item{};
  item.iSubItem = column;
  item.pszText = const_cast<char*>(text.c_str());
  SendMessageA(list_, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
}

void UpdateDialog::FillFileList(const FileTable& fileUrlMap) {
  ProgressEntry entry(ProgressEntry::Kind::FillList);
  for (const auto& row : fileUrlMap) entry.paths.push_back(row.first);
  if (progressLog_.AppendBoundary(std::move(entry))) PostMessageA(hwnd_, WM_SHOW_PROGRESS, 0, 0);
}

bool UpdateDialog::ReportFileProgress(const std::string& path, int stage, int32_t value) {
  if (path.empty()) return false;
  if (stage == Downloading) {
    progressLog_.AppendBytes(path, value);
    return true;
  }
  ProgressEntry entry(ProgressEntry::Kind::Stage);
  entry.path = path;
  entry.stage = stage;
  entry.value = value;
  if (progressLog_.AppendBoundary(std::move(entry))) PostMessageA(hwnd_, WM_SHOW_PROGRESS, 0, 0);
  return true;
}

void UpdateDialog::SetProgressStep(int step) {
  workerProgressStep_ = step;
  ProgressEntry entry(ProgressEntry::Kind::SetStep);
  entry.value = step;
  if (progressLog_.AppendBoundary(std::move(entry))) PostMessageA(hwnd_, WM_SHOW_PROGRESS, 0, 0);
}

void UpdateDialog::StepProgress() {
  // A step of 0 would move nothing (bodies of 19,980,000 bytes or more).
  if (workerProgressStep_ != 0) progressLog_.AppendStep();
}

void UpdateDialog::ShowPendingProgress() {
  for (const ProgressEntry& entry : progressLog_.Take()) {
    switch (entry.kind) {
      case ProgressEntry::Kind::FillList:
        ShowFileList(entry.paths);
        break;
      case ProgressEntry::Kind::SetStep:
        shownStep_ = entry.value;
        SendMessageA(progress_, PBM_SETSTEP, entry.value, 0);
        break;
      case ProgressEntry::Kind::Stage:
        ShowFileStage(entry.path, entry.stage, entry.value);
        break;
      case ProgressEntry::Kind::Chunks:
        StepProgressBar(entry.steps);
        if (entry.hasBytes) ShowFileStage(entry.path, Downloading, entry.value);
        break;
    }
  }
}

void UpdateDialog::StepProgressBar(int steps) {
  if (steps <= 0) return;
  // Where the steps stay within the range they move the bar in one go;
  // otherwise each is a PBM_STEPIT, so that the bar wraps at its end exactly
  // as it would have with the steps coming one by one.
  PBRANGE range{};
  SendMessageA(progress_, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  const long long position = SendMessageA(progress_, PBM_GETPOS, 0, 0);
  const long long target = position + static_cast<long long>(shownStep_) * steps;
  if (target >= range.iLow && target <= range.iHigh) {
    SendMessageA(progress_, PBM_SETPOS, static_cast<WPARAM>(target), 0);
    return;
  }
  for (int i = 0; i < steps; ++i) SendMessageA(progress_, PBM_STEPIT, 0, 0);
}

void UpdateDialog::ShowFileList(const std::vector<std::string>& paths) {
  SendMessageA(list_, LVM_DELETEALLITEMS, 0, 0);
  // Rows of an earlier run are gone; their paths must not find them again.
  RowIndexMap.clear();
  rowFileSizes_.clear();
  downloadingRows_.clear();
  int counter = 0;
  for (const std::string& path : paths) {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = counter;
    item.pszText = const_cast<char*>("");
    const int row = static_cast<int>(SendMessageA(list_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
    SetRowText(row, 0, path);
    SetRowText(row, 1, "未知");
    SetRowText(row, 2, "准备更新");
    char index[16];
    std::snprintf(index, sizeof index, "%d", row);
    RowIndexMap.Set(path, index);
    counter = row + 1;
  }
}

void UpdateDialog::ShowFileStage(const std::string& path, int stage, int32_t value) {
  const std::string* index = RowIndexMap.Find(path);
  if (!index) return;
  const int row = AtoiText(*index);
  switch (stage) {
    case DownloadStarted:
      downloadingRows_.erase(row);
      SendMessageA(progress_, PBM_SETPOS, 0, 0);
      rowFileSizes_[row] = value;
      SetRowText(row, 1, FormatSizeProgress(0, value));
      SetRowText(row, 2, "开始下载");
      break;
    case Downloading:
      SetRowText(row, 1, FormatSizeProgress(value, rowFileSizes_[row]));
      // The state text changes only with the first bytes of a download.
      if (downloadingRows_.insert(row).second) SetRowText(row, 2, "正在下载");
      break;
    case Downloaded:
      downloadingRows_.erase(row);
      SetRowText(row, 1, FormatSizeProgress(rowFileSizes_[row], rowFileSizes_[row]));
      SetRowText(row, 2, "正在更新");
      break;
    case Installed:
      downloadingRows_.erase(row);
      SendMessageA(progress_, PBM_SETPOS, kProgressMax, 0);
      SetRowText(row, 2, "更新完成");
      break;
    default:
      break;
  }
}
