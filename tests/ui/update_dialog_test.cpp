// The real update dialog, created hidden from its template and driven through
// its own messages, with the worker's calls made from a worker thread: the
// template, the rows and the progress bar. Its results, retries and cancels:
// update_dialog_result_test.cpp.

#include "update_dialog_fixture.h"

namespace {

using namespace dialog_test;

TEST_F(UpdateDialogTest, TemplateHasEveryControlInPlace) {
  Make(1);
  HWND hwnd = dialog->hwnd();
  EXPECT_EQ(WindowText(hwnd), "Mirelo正在升级");
  const LONG style = GetWindowLongA(hwnd, GWL_STYLE);
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(GetWindowLongA(hwnd, GWL_EXSTYLE) & WS_EX_APPWINDOW);
  EXPECT_EQ(GetParent(hwnd), nullptr);

  struct Control {
    int id;
    const char* cls;
    const char* text;
    RECT dlu;  // left, top, width, height
    bool visible;
  };
  const Control controls[] = {
      {IDOK, "Button", "重试", {182, 184, 50, 14}, false},
      {IDCANCEL, "Button", "取消", {260, 184, 50, 14}, true},
      {IDC_PROGRESS, "msctls_progress32", "", {89, 152, 254, 14}, true},
      {IDC_FILE_LIST, "SysListView32", "", {90, 7, 253, 122}, true},
      {IDC_STATUS_TEXT, "Static", "", {89, 133, 133, 13}, true},
  };
  for (const auto& c : controls) {
    HWND item = Item(c.id);
    ASSERT_NE(item, nullptr) << c.id;
    char cls[64] = "";
    GetClassNameA(item, cls, sizeof cls);
    EXPECT_STREQ(cls, c.cls) << c.id;
    EXPECT_EQ(WindowText(item), c.text) << c.id;
    const RECT want = DialogUnits(hwnd, c.dlu.left, c.dlu.top, c.dlu.right, c.dlu.bottom);
    const RECT got = ChildRect(item);
    EXPECT_EQ(got.left, want.left) << c.id;
    EXPECT_EQ(got.top, want.top) << c.id;
    EXPECT_EQ(got.right - got.left, want.right) << c.id;
    EXPECT_EQ(got.bottom - got.top, want.bottom) << c.id;
    EXPECT_EQ((GetWindowLongA(item, GWL_STYLE) & WS_VISIBLE) != 0, c.visible) << c.id;
  }
  EXPECT_TRUE(GetWindowLongA(Item(IDOK), GWL_STYLE) & BS_DEFPUSHBUTTON);
  EXPECT_EQ(GetWindowLongA(Item(IDC_FILE_LIST), GWL_STYLE) & LVS_TYPEMASK, LVS_REPORT);
  EXPECT_TRUE(GetWindowLongA(Item(IDC_STATUS_TEXT), GWL_STYLE) & SS_CENTERIMAGE);
  EXPECT_EQ(GetWindowLongA(Item(IDC_SIDE_PICTURE), GWL_STYLE) & SS_TYPEMASK, SS_BITMAP);
  EXPECT_NE(SendMessageA(Item(IDC_SIDE_PICTURE), STM_GETIMAGE, IMAGE_BITMAP, 0), 0);
  // The link is hidden and, as a link, notifies its clicks.
  HWND link = Item(IDC_HOME_LINK);
  EXPECT_FALSE(GetWindowLongA(link, GWL_STYLE) & WS_VISIBLE);
  EXPECT_EQ(WindowText(link), "查看新版本功能改进");

  // The template's font.
  LOGFONTA lf{};
  GetObjectA(reinterpret_cast<HFONT>(SendMessageA(hwnd, WM_GETFONT, 0, 0)), sizeof lf, &lf);
  EXPECT_STREQ(lf.lfFaceName, "宋体");

  // The list has no columns before the update starts.
  HWND header = reinterpret_cast<HWND>(SendMessageA(Item(IDC_FILE_LIST), LVM_GETHEADER, 0, 0));
  EXPECT_EQ(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0), 0);
}

TEST_F(UpdateDialogTest, InitialisationSetsMenuIconsAndClearsTheStatusLine) {
  Make(1);
  EXPECT_FALSE(dialog->updateStarted());
  EXPECT_FALSE(dialog->finished());
  EXPECT_EQ(dialog->statusText(), "");
  HMENU menu = GetSystemMenu(dialog->hwnd(), FALSE);
  char item[128] = "";
  ASSERT_GT(GetMenuStringA(menu, IDM_ABOUTBOX, item, sizeof item, MF_BYCOMMAND), 0);
  EXPECT_STREQ(item, "关于 Torvane(&A)...");
  const int count = GetMenuItemCount(menu);
  EXPECT_EQ(GetMenuItemID(menu, count - 1), IDM_ABOUTBOX);
  EXPECT_EQ(GetMenuState(menu, count - 2, MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
  EXPECT_NE(SendMessageA(dialog->hwnd(), WM_GETICON, ICON_BIG, 0), 0);
  EXPECT_NE(SendMessageA(dialog->hwnd(), WM_GETICON, ICON_SMALL, 0), 0);
  // The minimised window's dragged picture is the icon itself.
  const LRESULT icon = SendMessageA(dialog->hwnd(), WM_GETICON, ICON_BIG, 0);
  EXPECT_EQ(SendMessageA(dialog->hwnd(), WM_QUERYDRAGICON, 0, 0), icon);
}

TEST_F(UpdateDialogTest, StartUpdatePreparesTheDialogOnce) {
  Make(1);
  StartIdleUpdate();
  EXPECT_TRUE(dialog->updateStarted());
  EXPECT_EQ(WorkerStarts(), 1);
  EXPECT_EQ(dialog->statusText(), kWaitText);
  EXPECT_EQ(WindowText(Item(IDC_STATUS_TEXT)), kWaitText);
  EXPECT_FALSE(IsWindowEnabled(Item(IDOK)));
  EXPECT_EQ(SendMessageA(Item(IDC_PROGRESS), PBM_GETRANGE, FALSE, 0), 1000);
  EXPECT_EQ(SendMessageA(Item(IDC_PROGRESS), PBM_GETRANGE, TRUE, 0), 0);

  HWND list = Item(IDC_FILE_LIST);
  const char* headings[] = {"更新文件", "下载文件大小", "状态"};
  const int widths[] = {150, 150, 80};
  for (int i = 0; i < 3; ++i) {
    char text[64] = "";
    LVCOLUMNA column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.pszText = text;
    column.cchTextMax = sizeof text;
    ASSERT_TRUE(SendMessageA(list, LVM_GETCOLUMNA, i, reinterpret_cast<LPARAM>(&column)));
    EXPECT_STREQ(text, headings[i]);
    EXPECT_EQ(column.cx, widths[i]);
    EXPECT_EQ(column.fmt & LVCFMT_JUSTIFYMASK, LVCFMT_LEFT);
  }
  EXPECT_EQ(dialog->link().url().rfind("http://", 0), 0u);

  // A second start (a second click) changes nothing.
  dialog->StartUpdate();
  EXPECT_EQ(WorkerStarts(), 1);
  HWND header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
  EXPECT_EQ(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0), 3);
}

TEST_F(UpdateDialogTest, WorkerFillsRowsAndReportsChangeOnlyTheirRow) {
  Make(1);
  StartIdleUpdate();
  HWND list = Item(IDC_FILE_LIST);
  HWND bar = Item(IDC_PROGRESS);
  const FileTable files = ThreeFiles();
  OnWorker([&] { dialog->progress().FillFileList(files); });
  const std::vector<std::vector<std::string>> filled = {
      {"\\Halvix.exe", "未知", "准备更新"},
      {"\\codec\\b.ocx", "未知", "准备更新"},
      {"\\skin\\c.zip", "未知", "准备更新"},
  };
  ASSERT_EQ(Rows(list), filled);

  SendMessageA(bar, PBM_SETPOS, 500, 0);
  struct Step {
    int stage;
    int32_t value;
    const char* size;
    const char* state;
    int progress;
  };
  const Step steps[] = {
      {DownloadStarted, 2048, "0.0/2.48k", "开始下载", 0},
      {Downloading, 1024, "1.24/2.48k", "正在下载", 0},
      {Downloaded, 2048, "2.48/2.48k", "正在更新", 0},
      {Installed, 0, "2.48/2.48k", "更新完成", 1000},
  };
  for (const auto& step : steps) {
    bool result = false;
    OnWorker([&] { result = dialog->progress().ReportFileProgress("\\codec\\b.ocx", step.stage, step.value); });
    EXPECT_TRUE(result);
    auto want = filled;
    want[1] = {"\\codec\\b.ocx", step.size, step.state};
    EXPECT_EQ(Rows(list), want) << "stage " << step.stage;
    EXPECT_EQ(ProgressPos(bar), step.progress) << "stage " << step.stage;
  }

  // Reports that match no row, or no stage, change nothing.
  const auto before = Rows(list);
  SendMessageA(bar, PBM_SETPOS, 300, 0);
  struct Ignored {
    const char* path;
    int stage;
    bool result;
  };
  const Ignored ignored[] = {
      {"\\not\\listed.dll", DownloadStarted, true},
      {"\\HALVIX.EXE", Installed, true},  // keys are exact
      {"\\Halvix.exe", 4, true},
      {"\\Halvix.exe", -1, true},
      {"", Installed, false},
  };
  for (const auto& c : ignored) {
    bool result = !c.result;
    OnWorker([&] { result = dialog->progress().ReportFileProgress(c.path, c.stage, 4096); });
    EXPECT_EQ(result, c.result) << c.path << " " << c.stage;
    EXPECT_EQ(Rows(list), before) << c.path << " " << c.stage;
    EXPECT_EQ(ProgressPos(bar), 300) << c.path << " " << c.stage;
  }
}

// The state text is written once per download, not per chunk; a new attempt,
// a later stage or a refilled list must still show the right text.
TEST_F(UpdateDialogTest, StateTextFollowsRepeatedAttemptsAndRefills) {
  Make(1);
  StartIdleUpdate();
  HWND list = Item(IDC_FILE_LIST);
  const FileTable files = ThreeFiles();
  OnWorker([&] { dialog->progress().FillFileList(files); });
  struct Report {
    const char* path;
    int stage;
    int32_t value;
    int row;
    const char* state;
  };
  const Report reports[] = {
      {"\\Halvix.exe", DownloadStarted, 3000, 0, "开始下载"},
      {"\\Halvix.exe", Downloading, 1000, 0, "正在下载"},
      {"\\Halvix.exe", Downloading, 2000, 0, "正在下载"},
      {"\\Halvix.exe", DownloadStarted, 3000, 0, "开始下载"},  // the next attempt
      {"\\Halvix.exe", Downloading, 1000, 0, "正在下载"},
      {"\\codec\\b.ocx", DownloadStarted, 3000, 1, "开始下载"},
      {"\\codec\\b.ocx", Downloading, 1000, 1, "正在下载"},
      {"\\Halvix.exe", Downloading, 3000, 0, "正在下载"},
      {"\\Halvix.exe", Downloaded, 3000, 0, "正在更新"},
      {"\\Halvix.exe", Downloading, 3000, 0, "正在下载"},
  };
  for (const auto& r : reports) {
    OnWorker([&] { dialog->progress().ReportFileProgress(r.path, r.stage, r.value); });
    const auto rows = Rows(list);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[r.row][2], r.state) << r.path << " stage " << r.stage;
  }
  OnWorker([&] { dialog->progress().FillFileList(files); });
  OnWorker([&] { dialog->progress().ReportFileProgress("\\Halvix.exe", Downloading, 10); });
  EXPECT_EQ(Rows(list)[0][2], "正在下载");
}

// Several files download at once, their reports interleaved: each row shows
// its own length and its own state.
TEST_F(UpdateDialogTest, RowsDownloadingAtOnceEachShowTheirOwnLength) {
  Make(1);
  StartIdleUpdate();
  HWND list = Item(IDC_FILE_LIST);
  const FileTable files = ThreeFiles();
  OnWorker([&] { dialog->progress().FillFileList(files); });
  OnWorker([&] {
    dialog->progress().ReportFileProgress("\\Halvix.exe", DownloadStarted, 2048);
    dialog->progress().ReportFileProgress("\\codec\\b.ocx", DownloadStarted, 40960);
    dialog->progress().ReportFileProgress("\\Halvix.exe", Downloading, 1024);
    dialog->progress().ReportFileProgress("\\codec\\b.ocx", Downloading, 20480);
    dialog->progress().ReportFileProgress("\\Halvix.exe", Downloading, 2048);
  });
  const auto rows = Rows(list);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"\\Halvix.exe", FormatSizeProgress(2048, 2048), "正在下载"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"\\codec\\b.ocx", FormatSizeProgress(20480, 40960), "正在下载"}));
}

// The worker never waits for the screen: its reports all return while this
// thread serves nothing, and the dialog then shows the state they end in.
TEST_F(UpdateDialogTest, ReportsReturnWithoutTheDialogAndShowTheirLastState) {
  Make(1);
  StartIdleUpdate();
  const FileTable files = ThreeFiles();
  std::function<void()> reports = [&] {
    dialog->progress().FillFileList(files);
    dialog->progress().SetProgressStep(10);
    dialog->progress().ReportFileProgress("\\codec\\b.ocx", DownloadStarted, 2048);
    for (int32_t received = 1; received <= 1024; ++received) {
      dialog->progress().StepProgress();
      dialog->progress().ReportFileProgress("\\codec\\b.ocx", Downloading, received);
    }
  };
  const auto run = [](void* fn) -> unsigned {
    (*static_cast<std::function<void()>*>(fn))();
    return 0;
  };
  const UniqueHandle worker(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, run, &reports, 0, nullptr)));
  ASSERT_TRUE(worker);
  // No message is served meanwhile: a report that waited for this thread
  // would never return.
  ASSERT_EQ(WaitForSingleObject(worker.get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(ItemCount(Item(IDC_FILE_LIST)), 0);

  dialog->progress().ShowPending();
  const std::vector<std::string> row = {"\\codec\\b.ocx", "1.24/2.48k", "正在下载"};
  EXPECT_EQ(Rows(Item(IDC_FILE_LIST))[1], row);
  // 1024 steps of 10 on a bar of 1000 wrap as PBM_STEPIT does: 10240 % 1000.
  EXPECT_EQ(ProgressPos(Item(IDC_PROGRESS)), 240);
}

TEST_F(UpdateDialogTest, ProgressStepsComeFromTheDownloadClient) {
  Make(1);
  StartIdleUpdate();
  HWND bar = Item(IDC_PROGRESS);
  OnWorker([&] {
    dialog->progress().SetProgressStep(150);
    dialog->progress().StepProgress();
    dialog->progress().StepProgress();
  });
  EXPECT_EQ(ProgressPos(bar), 300);
}

TEST_F(UpdateDialogTest, RefillingTheListForgetsEarlierRows) {
  Make(1);
  StartIdleUpdate();
  HWND list = Item(IDC_FILE_LIST);
  const FileTable files = ThreeFiles();
  FileTable one;
  one.Set("\\skin\\c.zip", "http://u.example/skin/c.zip");
  OnWorker([&] {
    dialog->progress().FillFileList(files);
    dialog->progress().FillFileList(one);
    dialog->progress().ReportFileProgress("\\codec\\b.ocx", Installed, 0);
  });
  ASSERT_EQ(ItemCount(list), 1);
  EXPECT_EQ(ItemText(list, 0, 0), "\\skin\\c.zip");
  EXPECT_EQ(ItemText(list, 0, 2), "准备更新");
}

}  // namespace
