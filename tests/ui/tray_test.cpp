// The notification-area icon as the shell receives it: the structures handed
// to Shell_NotifyIconA are recorded, byte for byte.

#include <cstring>

#include "resource.h"
#include "tests/support/win_test_files.h"
#include "ui_test_support.h"
#include "updater/core/file_version.h"
#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/core/update_job.h"

namespace {

HICON SmallIcon(int id) {
  return static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), IMAGE_ICON,
                                       GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                       LR_SHARED));
}

class TrayTest : public DialogTest {};

// A shell whose calls leave their thread slow to end, as the system's clean-up
// of a thread may be.
void WINAPI EndSlowly(void*) { Sleep(300); }
BOOL WINAPI ShellOnSlowEndingThread(DWORD command, PNOTIFYICONDATAA data) {
  static const DWORD slowEnd = FlsAlloc(EndSlowly);
  FlsSetValue(slowEnd, data);
  return RecordShell(command, data);
}

TEST_F(TrayTest, ForcedPromptAddsTheIconThenShowsTheBalloonWithFiveSeconds) {
  Make(1);
  ASSERT_EQ(ShellCalls().size(), 2u);
  const ShellCall& add = ShellCalls()[0];
  EXPECT_EQ(add.command, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(add.data.cbSize, NOTIFYICONDATAA_V2_SIZE);
  EXPECT_EQ(add.data.cbSize, sizeof(void*) == 8 ? 504u : 488u);
  EXPECT_EQ(add.data.hWnd, dialog->hwnd());
  EXPECT_EQ(add.data.uID, 140u);
  EXPECT_EQ(add.data.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO));
  EXPECT_EQ(add.data.uCallbackMessage, 11023u);
  EXPECT_EQ(add.data.hIcon, SmallIcon(IDI_MAIN));
  EXPECT_STREQ(add.data.szTip, "Mirelo正在更新，请耐心等待...");
  EXPECT_STREQ(add.data.szInfo, "");

  const ShellCall& prompt = ShellCalls()[1];
  EXPECT_EQ(prompt.command, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_EQ(prompt.data.uFlags, static_cast<UINT>(NIF_INFO));
  EXPECT_EQ(prompt.data.dwInfoFlags, static_cast<DWORD>(NIIF_INFO));
  EXPECT_EQ(prompt.data.uTimeout, 0u);
  EXPECT_STREQ(prompt.data.szInfo, "Mirelo发现重要可用更新，5 秒之后将自动更新(单击立即开始更新)...");
  // The title as code page 936 bytes: "更新提示".
  EXPECT_STREQ(prompt.data.szInfoTitle, "\xb8\xfc\xd0\xc2\xcc\xe1\xca\xbe");
}

TEST_F(TrayTest, CommonPromptOffersToIgnore) {
  Make(0);
  ASSERT_GE(ShellCalls().size(), 2u);
  EXPECT_STREQ(ShellCalls()[1].data.szInfo, "Mirelo发现可用更新，单击立即开始更新,点击关闭忽略此更新...");
  EXPECT_STREQ(ShellCalls()[1].data.szInfoTitle, "更新提示");
}

// What one notification does to a dialog in a given state.
struct TrayCase {
  const char* name;
  int forceUpdate;
  enum { Prompting, Updating, Finished } state;
  int code;
  bool starts;
  bool quits;
};

const TrayCase kTrayCases[] = {
    {"forced time-out starts", 1, TrayCase::Prompting, 0x404, true, false},
    {"common time-out ends", 0, TrayCase::Prompting, 0x404, false, true},
    {"forced click starts", 1, TrayCase::Prompting, 0x405, true, false},
    {"common click starts", 0, TrayCase::Prompting, 0x405, true, false},
    {"balloon shown is nothing", 0, TrayCase::Prompting, 0x402, false, false},
    {"mouse move is nothing", 0, TrayCase::Prompting, WM_MOUSEMOVE, false, false},
    {"click on icon is nothing", 1, TrayCase::Prompting, WM_LBUTTONUP, false, false},
    {"time-out while updating", 0, TrayCase::Updating, 0x404, false, false},
    {"forced time-out while updating", 1, TrayCase::Updating, 0x404, false, false},
    {"click while updating", 1, TrayCase::Updating, 0x405, false, false},
    {"mouse while updating", 1, TrayCase::Updating, WM_MOUSEMOVE, false, false},
    {"time-out after result ends", 1, TrayCase::Finished, 0x404, false, true},
    {"click after result ends", 0, TrayCase::Finished, 0x405, false, true},
    {"mouse after result ends", 1, TrayCase::Finished, WM_MOUSEMOVE, false, true},
    {"button after result ends", 1, TrayCase::Finished, WM_LBUTTONDOWN, false, true},
    {"balloon shown after result", 1, TrayCase::Finished, 0x402, false, false},
};

TEST_F(TrayTest, NotificationsFollowTheStateTable) {
  for (const auto& c : kTrayCases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Make(c.forceUpdate);
    if (c.state == TrayCase::Updating) StartGatedUpdate();
    if (c.state == TrayCase::Finished) {
      StartGatedUpdate();
      FinishGatedUpdate();
    }
    const int startsBefore = WorkerStarts();
    // Codes arrive in the low word; the high word carries nothing for us.
    SendMessageA(dialog->hwnd(), WM_TRAY_NOTIFY, 140, MAKELPARAM(c.code, 0x7));
    EXPECT_EQ(WorkerStarts() - startsBefore, c.starts ? 1 : 0);
    EXPECT_EQ(TakeQuit(), c.quits);
    TearDown();
  }
}

TEST_F(TrayTest, TimerTicksClearTheBalloonAndActAsATimeOut) {
  Make(1);
  ShellCalls().clear();
  Tick(TIMER_PROMPT);
  ASSERT_FALSE(ShellCalls().empty());
  EXPECT_EQ(ShellCalls()[0].command, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_EQ(ShellCalls()[0].data.uFlags, static_cast<UINT>(NIF_INFO));
  EXPECT_STREQ(ShellCalls()[0].data.szInfo, "");
  EXPECT_STREQ(ShellCalls()[0].data.szInfoTitle, "");
  // Forced mode: the prompt's time-out starts the update, and later ticks do not restart it.
  EXPECT_TRUE(dialog->updateStarted());
  EXPECT_EQ(WorkerStarts(), 1);
  Tick(TIMER_PROMPT);
  Tick(TIMER_EXIT);
  EXPECT_EQ(WorkerStarts(), 1);
  EXPECT_FALSE(TakeQuit());
}

// Shell_NotifyIconA waits for the shell without a time-out. A busy shell holds
// its calls as long as it likes, yet the prompt is shown, its time-out starts
// the worker, and the log says both, while the shell still holds them.
TEST_F(TrayTest, ABusyShellHoldsNeitherThePromptNorTheWorkersStart) {
  const std::string folder = win_test::UniqueFolder("tray-log");
  const std::string logPath = folder + "\\Torvane.log";
  {
    run_log::LogFile log;
    ASSERT_TRUE(log.Open(logPath));
    shellNotify = BusyShell;
    ResetEvent(ShellFree());
    const ULONGLONG start = GetTickCount64();
    Make(1, nullptr);  // the real worker: its run finds no settings and fails
    Tick(TIMER_PROMPT);
    const ULONGLONG took = GetTickCount64() - start;
    // One bounded wait for the shell, with a wide margin.
    EXPECT_LT(took, 6000u) << "the prompt and its time-out waited for the shell";
    EXPECT_TRUE(dialog->updateStarted());
    EXPECT_GT(ShellCallsWaiting(), 0) << "the shell answered before the worker started";
    // The held calls are made in their order once the shell answers.
    SetEvent(ShellFree());
    ASSERT_TRUE(PumpUntil([&] { return dialog->finished(); }, 60000));
    ASSERT_TRUE(PumpUntil([] { return LastBalloon() && std::string(LastBalloon()->data.szInfoTitle) == "升级失败"; }));
    EXPECT_EQ(ShellCalls().front().command, static_cast<DWORD>(NIM_ADD));
  }
  const std::string text = win_test::ReadBytes(logPath);
  for (const char* line : {" timer timer=prompt", " worker started=yes", " worker_thread"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  win_test::RemoveTree(folder);
}

TEST_F(TrayTest, CommonModeEndsAtTheFirstTickWithoutFetching) {
  Make(0);
  Tick(TIMER_PROMPT);
  EXPECT_EQ(WorkerStarts(), 0);
  EXPECT_TRUE(TakeQuit());
}

TEST_F(TrayTest, AnimationCyclesThroughTheThreeFramesThenReturnsToTheIcon) {
  Make(1);
  StartGatedUpdate();
  ShellCalls().clear();
  for (int i = 0; i < 4; ++i) Tick(TIMER_TRAY_ANIMATION);
  FinishGatedUpdate();
  std::vector<HICON> icons;
  for (const auto& call : ShellCalls()) {
    if (call.command == NIM_MODIFY && call.data.uFlags == NIF_ICON) icons.push_back(call.data.hIcon);
  }
  const std::vector<HICON> want = {SmallIcon(IDI_TRAY_FRAME1), SmallIcon(IDI_TRAY_FRAME2),
                                   SmallIcon(IDI_TRAY_FRAME3), SmallIcon(IDI_TRAY_FRAME1),
                                   SmallIcon(IDI_MAIN)};
  EXPECT_EQ(icons, want);
  // The frames are distinct pictures.
  EXPECT_NE(want[0], want[1]);
  EXPECT_NE(want[1], want[2]);
  EXPECT_NE(want[0], want[4]);
}

TEST_F(TrayTest, SuccessBalloonNamesTheClientVersion) {
  Make(1);
  // A copy of this program, which carries a version resource, stands in for the client.
  char self[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, self, sizeof self);
  const std::string folder = win_test::TempFolder() + "torvane-ui-client\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  ASSERT_TRUE(CopyFileA(self, (folder + "Halvix.exe").c_str(), FALSE));
  app.exeFolder = folder;
  FileVersion version;
  ReadFileVersion(folder + "Halvix.exe", version);
  EXPECT_FALSE(version.text.empty());
  SetWorkerScript([](const WorkerRun& w) {
    w.observer->FillFileList(FileTable());
    return 1;
  });
  dialog->StartUpdate();
  ASSERT_TRUE(PumpUntil([&] { return dialog->finished(); }));
  ASSERT_NE(LastBalloon(), nullptr);
  const std::string want = "Mirelo已升级到最新版本(" + version.text + ")，升级程序将自动重启Mirelo客户端...";
  EXPECT_EQ(std::string(LastBalloon()->data.szInfo), want);
  EXPECT_STREQ(LastBalloon()->data.szInfoTitle, "恭喜客户端升级成功");
}

struct FailureCase {
  const char* name;
  bool listFiles;
  const char* downloadUrl;
  const char* text;
};

const FailureCase kFailureCases[] = {
    {"files listed", true, "http://www.example.test/download.html",
     "您可以手动从 http://www.example.test/download.html 下载..."},
    {"nothing listed", false, "http://www.example.test/download.html",
     "未发现需要更新的文件，请确认您当前安装的版本是通过Mirelo官网下载的版本..."},
};

TEST_F(TrayTest, FailureBalloonDependsOnWhetherFilesWereListed) {
  for (const auto& c : kFailureCases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Make(1);
    SetWorkerScript([c](const WorkerRun& w) {
      // The worker owns the job while it runs: the page comes from it.
      w.job->state().downloadUrl = c.downloadUrl;
      if (c.listFiles) {
        FileTable files;
        files.Set("\\Halvix.exe", "http://u.example/Halvix.exe");
        w.observer->FillFileList(files);
      }
      return 0;
    });
    dialog->StartUpdate();
    ASSERT_TRUE(PumpUntil([&] { return dialog->finished(); }));
    ASSERT_NE(LastBalloon(), nullptr);
    EXPECT_STREQ(LastBalloon()->data.szInfo, c.text);
    EXPECT_STREQ(LastBalloon()->data.szInfoTitle, "\xc9\xfd\xbc\xb6\xca\xa7\xb0\xdc");  // "升级失败"
    TearDown();
  }
}

TEST_F(TrayTest, WorkerThatCannotStartWarnsAndEndsSoon) {
  Make(1, FailToStartWorker);
  dialog->StartUpdate();
  EXPECT_TRUE(dialog->finished());
  EXPECT_EQ(dialog->job(), nullptr);
  ASSERT_NE(LastBalloon(), nullptr);
  EXPECT_STREQ(LastBalloon()->data.szInfo, "更新失败，创建更新线程失败...");
  EXPECT_STREQ(LastBalloon()->data.szInfoTitle, "\xbe\xaf\xb8\xe6");  // "警告"
  Tick(TIMER_EXIT);
  EXPECT_TRUE(TakeQuit());
}

TEST_F(TrayTest, BalloonTextsAreCutToTheirFields) {
  Make(1);
  std::string text(400, 'x');
  std::string title;
  for (int i = 0; i < 50; ++i) title += "警告";
  dialog->tray().ShowBalloon(text, title);
  const ShellCall* call = LastBalloon();
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(std::strlen(call->data.szInfo), 255u);
  // 63 bytes would split a character: 62 are kept.
  EXPECT_EQ(std::strlen(call->data.szInfoTitle), 62u);
  EXPECT_EQ(std::string(call->data.szInfoTitle), title.substr(0, 62));
}

TEST_F(TrayTest, RemoveDeletesIconOfTheWindow) {
  Make(1);
  ShellCalls().clear();
  dialog->tray().Remove();
  ASSERT_EQ(ShellCalls().size(), 1u);
  EXPECT_EQ(ShellCalls()[0].command, static_cast<DWORD>(NIM_DELETE));
  EXPECT_EQ(ShellCalls()[0].data.uID, 140u);
  EXPECT_EQ(ShellCalls()[0].data.hWnd, dialog->hwnd());
  EXPECT_EQ(ShellCalls()[0].data.uFlags, 0u);
}

// The program ends right after the dialog, and a thread must not be half-way
// through its own end then: the dialog's end waits for the shell-call thread's.
TEST_F(TrayTest, TheShellCallThreadHasEndedWhenTheDialogIsGone) {
  shellNotify = ShellOnSlowEndingThread;
  Make(1);
  dialog->tray().Remove();
  ASSERT_FALSE(ShellCalls().empty());
  const UniqueHandle thread(OpenThread(SYNCHRONIZE, FALSE, ShellCalls().back().threadId));
  ASSERT_TRUE(thread);
  ASSERT_NE(ShellCalls().back().threadId, GetCurrentThreadId());
  dialog.reset();
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0) << "the shell-call thread still runs";
}

}  // namespace
