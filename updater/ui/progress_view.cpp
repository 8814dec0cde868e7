#include "updater/ui/progress_view.h"

#include <commctrl.h>

#include <cstdio>

#include "updater/base/text_rules.h"
#include "updater/ui/dialog_messages.h"
#include "updater/ui/size_text.h"

void ProgressView::Attach(HWND window, HWND list, HWND bar) {
  window_ = window;
  list_ = list;
  bar_ = bar;
}

void ProgressView::Prepare() {
  SendMessageA(bar_, PBM_SETRANGE, 0, MAKELPARAM(0, kProgressMax));
  InsertColumns();
}

void ProgressView::ShowFinished(bool success) { SendMessageA(bar_, PBM_SETPOS, success ? kProgressMax : 0, 0); }

void ProgressView::Wake() { PostMessageA(window_, WM_SHOW_PROGRESS, 0, 0); }

void ProgressView::InsertColumns() {
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

void ProgressView::SetRowText(int row, int column, const std::string& text) {
  LVITEMA item{};
  item.iSubItem = column;
  item.pszText = const_cast<char*>(text.c_str());
  SendMessageA(list_, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
}

void ProgressView::FillFileList(const FileTable& fileUrlMap) {
  ProgressEntry entry(ProgressEntry::Kind::FillList);
  for (const auto& row : fileUrlMap) entry.paths.push_back(row.first);
  if (progressLog_.AppendBoundary(std::move(entry))) Wake();
}

bool ProgressView::ReportFileProgress(const std::string& path, int stage, int32_t value) {
  if (path.empty()) return false;
  if (stage == Downloading) {
    progressLog_.AppendBytes(path, value);
    return true;
  }
  ProgressEntry entry(ProgressEntry::Kind::Stage);
  entry.path = path;
  entry.stage = stage;
  entry.value = value;
  if (progressLog_.AppendBoundary(std::move(entry))) Wake();
  return true;
}

void ProgressView::SetProgressStep(int step) {
  workerProgressStep_ = step;
  ProgressEntry entry(ProgressEntry::Kind::SetStep);
  entry.value = step;
  if (progressLog_.AppendBoundary(std::move(entry))) Wake();
}

void ProgressView::StepProgress() {
  // A step of 0 would move nothing (bodies of 19,980,000 bytes or more).
  if (workerProgressStep_ != 0) progressLog_.AppendStep();
}

void ProgressView::ShowPending() {
  for (const ProgressEntry& entry : progressLog_.Take()) {
    switch (entry.kind) {
      case ProgressEntry::Kind::FillList:
        ShowFileList(entry.paths);
        break;
      case ProgressEntry::Kind::SetStep:
        shownStep_ = entry.value;
        SendMessageA(bar_, PBM_SETSTEP, entry.value, 0);
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

void ProgressView::StepProgressBar(int steps) {
  if (steps <= 0) return;
  // Where the steps stay within the range they move the bar in one go;
  // otherwise each is a PBM_STEPIT, so that the bar wraps at its end exactly
  // as it would have with the steps coming one by one.
  PBRANGE range{};
  SendMessageA(bar_, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  const long long position = SendMessageA(bar_, PBM_GETPOS, 0, 0);
  const long long target = position + static_cast<long long>(shownStep_) * steps;
  if (target >= range.iLow && target <= range.iHigh) {
    SendMessageA(bar_, PBM_SETPOS, static_cast<WPARAM>(target), 0);
    return;
  }
  for (int i = 0; i < steps; ++i) SendMessageA(bar_, PBM_STEPIT, 0, 0);
}

void ProgressView::ShowFileList(const std::vector<std::string>& paths) {
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

void ProgressView::ShowFileStage(const std::string& path, int stage, int32_t value) {
  const std::string* index = RowIndexMap.Find(path);
  if (!index) return;
  const int row = AtoiText(*index);
  switch (stage) {
    case DownloadStarted:
      downloadingRows_.erase(row);
      SendMessageA(bar_, PBM_SETPOS, 0, 0);
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
      SendMessageA(bar_, PBM_SETPOS, kProgressMax, 0);
      SetRowText(row, 2, "更新完成");
      break;
    default:
      break;
  }
}
