// The real update dialog at the end of an update: success, failure, retries
// and cancels, with the worker's calls made from a worker thread.

#include "update_dialog_fixture.h"

namespace {

using namespace dialog_test;

TEST_F(UpdateDialogTest, SuccessShowsDoneRestartsTheClientAndReleasesTheJob) {
  Make(1);
  SetWorkerScript([](const WorkerRun& w) {
    w.observer->FillFileList(ThreeFiles());
    w.observer->ReportFileProgress("\\skin\\c.zip", Installed, 0);
    return 1;
  });
  dialog->StartUpdate();
  ASSERT_TRUE(PumpUntil([&] { return dialog->finished(); }));
  EXPECT_EQ(dialog->job(), nullptr);
  EXPECT_EQ(ProgressPos(Item(IDC_PROGRESS)), 1000);
  EXPECT_EQ(WindowText(Item(IDC_STATUS_TEXT)), "升级成功");
  EXPECT_EQ(WindowText(Item(IDOK)), "完成");
  EXPECT_FALSE(IsWindowEnabled(Item(IDCANCEL)));
  ASSERT_EQ(WinExecCalls().size(), 1u);
  EXPECT_EQ(WinExecCalls()[0], "\"C:\\torvane-ui-test\\Halvix.exe\" /Restart");
  // The exit timer's tick ends the program.
  Tick(TIMER_EXIT);
  EXPECT_TRUE(TakeQuit());
}

TEST_F(UpdateDialogTest, FailureKeepsTheButtonsAndTheStatusLine) {
  Make(1);
  SetWorkerScript([](const WorkerRun& w) {
    w.observer->FillFileList(ThreeFiles());
    w.observer->ReportFileProgress("\\Halvix.exe", Installed, 0);
    return 0;
  });
  dialog->StartUpdate();
  ASSERT_TRUE(PumpUntil([&] { return dialog->finished(); }));
  EXPECT_EQ(dialog->job(), nullptr);
  EXPECT_EQ(ProgressPos(Item(IDC_PROGRESS)), 0);
  EXPECT_EQ(WindowText(Item(IDC_STATUS_TEXT)), kWaitText);
  EXPECT_EQ(WindowText(Item(IDOK)), "重试");
  EXPECT_TRUE(IsWindowEnabled(Item(IDCANCEL)));
  EXPECT_TRUE(WinExecCalls().empty());
  EXPECT_FALSE(TakeQuit());
}

TEST_F(UpdateDialogTest, RetryWhileAJobRunsOnlyAsksToWait) {
  Make(1);
  SetWorkerScript([](const WorkerRun&) {
    WaitForSingleObject(WorkerGate(), 20000);
    return 0;
  });
  SendMessageA(dialog->hwnd(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(Item(IDOK)));
  EXPECT_EQ(WorkerStarts(), 1);
  EXPECT_TRUE(MessageBoxes().empty());
  EXPECT_EQ(WindowText(Item(IDC_STATUS_TEXT)), kWaitText);
  // Retry neither animates nor counts as the first start.
  EXPECT_FALSE(dialog->updateStarted());

  SendMessageA(dialog->hwnd(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(Item(IDOK)));
  EXPECT_EQ(WorkerStarts(), 1);
  ASSERT_EQ(MessageBoxes().size(), 1u);
  EXPECT_EQ(MessageBoxes()[0].text, "正在升级，请等待!");
  EXPECT_EQ(MessageBoxes()[0].title, "升级提示");
  SetEvent(WorkerGate());
  ASSERT_TRUE(PumpUntil([&] { return dialog->job() == nullptr; }));
}

// A retry's run is cut short neither by the exit that an earlier failure
// scheduled nor by a prompt tick that would start another run over it.
TEST_F(UpdateDialogTest, RetryRunsToItsOwnResult) {
  Make(1);
  SetWorkerScript([](const WorkerRun&) {
    WaitForSingleObject(WorkerGate(), 20000);
    return 0;
  });
  struct Phase {
    const char* name;
    bool failedBefore;
  };
  const Phase phases[] = {{"before any start", false}, {"after a failure", true}};
  for (const Phase& phase : phases) {
    ResetEvent(WorkerGate());
    ASSERT_EQ(dialog->finished(), phase.failedBefore) << phase.name;
    dialog->RetryUpdate();
    UpdateJob* const job = dialog->job();
    ASSERT_NE(job, nullptr) << phase.name;
    EXPECT_FALSE(dialog->finished()) << phase.name;
    EXPECT_FALSE(KillTimer(dialog->hwnd(), TIMER_EXIT)) << phase.name << ": the exit timer still runs";
    Tick(TIMER_EXIT);
    Tick(TIMER_PROMPT);
    EXPECT_FALSE(TakeQuit()) << phase.name;
    EXPECT_EQ(dialog->job(), job) << phase.name;
    FinishGatedUpdate();
  }
  EXPECT_EQ(WorkerStarts(), 2);
}

TEST_F(UpdateDialogTest, RetryWhoseWorkerCannotStartSaysSo) {
  Make(1, FailToStartWorker);
  dialog->RetryUpdate();
  EXPECT_EQ(dialog->job(), nullptr);
  EXPECT_EQ(WindowText(Item(IDC_STATUS_TEXT)), "升级失败");
  ASSERT_EQ(MessageBoxes().size(), 1u);
  EXPECT_EQ(MessageBoxes()[0].text, "升级失败");
  EXPECT_EQ(MessageBoxes()[0].title, "升级提示");
  EXPECT_FALSE(dialog->finished());
}

TEST_F(UpdateDialogTest, CancelStopsTheWorkerWithoutDeadlockAndEndsTheProgram) {
  Make(1);
  // The worker keeps reporting (each report needs this thread) until the
  // test opens the gate, then sends its result while the cancel waits.
  SetWorkerScript([](const WorkerRun& w) {
    w.observer->FillFileList(ThreeFiles());
    for (int i = 0; WaitForSingleObject(WorkerGate(), 0) != WAIT_OBJECT_0 && i < 100000; ++i) {
      w.observer->ReportFileProgress("\\Halvix.exe", Downloading, i);
    }
    for (int i = 0; i < 20; ++i) w.observer->ReportFileProgress("\\Halvix.exe", Downloading, i);
    return 0;
  });
  dialog->StartUpdate();
  ASSERT_TRUE(PumpUntil([&] { return ItemCount(Item(IDC_FILE_LIST)) == 3; }));
  const size_t balloonsBefore = Balloons().size();
  SetEvent(WorkerGate());
  SendMessageA(dialog->hwnd(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
               reinterpret_cast<LPARAM>(Item(IDCANCEL)));
  EXPECT_EQ(dialog->job(), nullptr);
  // The failure that the worker reported during the cancel shows no balloon.
  EXPECT_EQ(Balloons().size(), balloonsBefore);
  EXPECT_FALSE(dialog->finished());
  EXPECT_TRUE(TakeQuit());
}

TEST_F(UpdateDialogTest, CancelBeforeAnyUpdateEndsTheProgram) {
  Make(0);
  // Closing the window posts the cancel command.
  SendMessageA(dialog->hwnd(), WM_CLOSE, 0, 0);
  DrainMessages();
  EXPECT_EQ(WorkerStarts(), 0);
  EXPECT_TRUE(TakeQuit());
}

TEST_F(UpdateDialogTest, RealWorkerThreadReportsItsFailure) {
  // The job's own run finds no settings file beside this test program.
  Make(1, nullptr);
  dialog->StartUpdate();
  ASSERT_TRUE(PumpUntil([&] { return dialog->finished(); }, 60000));
  EXPECT_EQ(dialog->job(), nullptr);
  ASSERT_NE(LastBalloon(), nullptr);
  EXPECT_STREQ(LastBalloon()->data.szInfoTitle, "升级失败");
}

std::vector<std::string> g_aboutTexts;

// Runs inside the about box's modal loop: reads its texts and presses "确定".
VOID CALLBACK CloseAboutBox(HWND, UINT, UINT_PTR id, DWORD) {
  HWND about = FindWindowA("#32770", "关于 Torvane");
  if (!about) return;
  KillTimer(nullptr, id);
  for (HWND child = GetWindow(about, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    g_aboutTexts.push_back(WindowText(child));
  }
  SendMessageA(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

TEST_F(UpdateDialogTest, SystemMenuItemOpensTheAboutBox) {
  Make(1);
  g_aboutTexts.clear();
  SetTimer(nullptr, 0, 50, CloseAboutBox);
  // The low four bits of the command are ignored.
  SendMessageA(dialog->hwnd(), WM_SYSCOMMAND, IDM_ABOUTBOX | 0x3, 0);
  ASSERT_EQ(g_aboutTexts.size(), 3u);
  EXPECT_EQ(g_aboutTexts[0], "Torvane 1.0 版");
  EXPECT_FALSE(g_aboutTexts[1].empty());
  EXPECT_EQ(g_aboutTexts[2], "确定");
}

}  // namespace
