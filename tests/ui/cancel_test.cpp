// Cancel with the job's own download client: the worker is stuck in a request
// that its server never finishes, or never answers at all, and only the job's
// cancel can end it soon. And the stop of a worker that has replaced a file,
// by a cancel or by the program's end: the worker has ended before the
// backups come back.

#include <winsock2.h>
#include <windows.h>
#include <process.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/loopback_listener.h"
#include "tests/support/win_test_files.h"
#include "updater/core/install_journal_file.h"
#include "ui_test_support.h"

namespace {

// A server that answers with the head of a long body, then stalls: the
// client waits for data that does not come. A silent one never answers.
class StallingServer {
 public:
  explicit StallingServer(bool silent = false) : silent_(silent) {
    listener_ = ListenOnLoopback(8, port_);
    thread_ = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Serve, this, 0, nullptr));
  }
  ~StallingServer() {
    closesocket(listener_);
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
    for (SOCKET s : clients_) closesocket(s);
    WSACleanup();
  }
  int port() const { return port_; }
  // True once a whole request has arrived.
  bool requested() const { return requested_ != 0; }

 private:
  static unsigned __stdcall Serve(void* param) {
    auto* self = static_cast<StallingServer*>(param);
    for (;;) {
      SOCKET client = accept(self->listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return 0;
      self->clients_.push_back(client);
      char request[2048];
      recv(client, request, sizeof request, 0);
      InterlockedExchange(&self->requested_, 1);
      if (self->silent_) continue;
      static const char head[] = "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n";
      send(client, head, sizeof head - 1, 0);
      const std::string some(4096, 'x');
      send(client, some.data(), static_cast<int>(some.size()), 0);
    }
  }

  const bool silent_;
  volatile LONG requested_ = 0;
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  HANDLE thread_ = nullptr;
  std::vector<SOCKET> clients_;
};

class CancelTest : public DialogTest {};

// The job's download of one file into a work folder, run by the worker as the
// run would: the job reports to the dialog, and the file is listed.
struct ScriptedDownload {
  std::string url;
  std::string folder;
  std::string target;
  volatile LONG downloading = 0;
  volatile LONG result = -1;
};

std::shared_ptr<ScriptedDownload> ScriptDownload(const std::string& url) {
  auto run = std::make_shared<ScriptedDownload>();
  run->url = url;
  run->folder = win_test::TempFolder() + "torvane-ui-cancel";
  CreateDirectoryA(run->folder.c_str(), nullptr);
  run->target = run->folder + "\\Halvix.exe";
  SetWorkerScript([run](const WorkerRun& w) {
    w.job->SetOwner(w.observer);
    w.job->state().tempFolder = run->folder;
    FileTable files;
    files.Set("\\Halvix.exe", run->url);
    w.observer->FillFileList(files);
    InterlockedExchange(&run->downloading, 1);
    bool ok = false;
    try {
      ok = w.job->DownloadFile(run->target, run->url, kInstallFileMaxBytes);
    } catch (...) {
      ok = false;
    }
    InterlockedExchange(&run->result, ok ? 1 : 0);
    return ok ? 1 : 0;
  });
  return run;
}

// Clicks the dialog's cancel button; how long the click took, in ms.
DWORD ClickCancel(HWND dialog) {
  const DWORD start = GetTickCount();
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
  return GetTickCount() - start;
}

// The worker is stuck in a request whose server never finishes the body, or
// never answers at all; the cancel ends it soon through the job, ends the
// program and shows nothing.
struct StuckCase {
  const char* name;
  bool silent;  // the server never answers: nothing may be written
};

TEST_F(CancelTest, CancelEndsAStuckDownloadThroughTheJobAndEndsTheProgram) {
  for (const StuckCase& c : {StuckCase{"a stuck download", false}, StuckCase{"the wait for a silent server", true}}) {
    StallingServer server(c.silent);
    Make(1);
    const auto run = ScriptDownload("http://127.0.0.1:" + std::to_string(server.port()) + "/Halvix.exe");
    dialog->StartUpdate();
    if (c.silent) {
      // The whole request has arrived: the worker waits for an answer that never comes.
      ASSERT_TRUE(PumpUntil([&] { return server.requested(); })) << c.name;
    } else {
      ASSERT_TRUE(PumpUntil([&] { return run->downloading == 1; })) << c.name;
      // The answer's head has arrived (the row left "准备更新"); the body stalls.
      HWND list = GetDlgItem(dialog->hwnd(), 1008);
      ASSERT_TRUE(PumpUntil([&] { return ItemText(list, 0, 2) != "准备更新"; })) << c.name;
    }
    const size_t balloonsBefore = Balloons().size();

    const DWORD took = ClickCancel(dialog->hwnd());

    EXPECT_LT(took, 5000u) << c.name << ": the cancel waited for the receive time-out";
    EXPECT_EQ(run->result, 0) << c.name;
    EXPECT_EQ(dialog->job(), nullptr) << c.name;
    EXPECT_EQ(Balloons().size(), balloonsBefore) << c.name;
    EXPECT_TRUE(TakeQuit()) << c.name;
    if (c.silent) {
      // Nothing was written: the attempt never got an answer.
      EXPECT_EQ(GetFileAttributesA(run->target.c_str()), INVALID_FILE_ATTRIBUTES) << c.name;
    } else {
      EXPECT_FALSE(IsWindowVisible(dialog->hwnd())) << c.name;
    }
    std::printf("cancel of %s took %lu ms\n", c.name, took);
    DeleteFileA(run->target.c_str());
    RemoveDirectoryA(run->folder.c_str());
    TearDown();
    SetUp();
  }
}

// A worker that does not heed the cancel (it waits at the gate) holds the
// cancel only as long as the dialog's bounded wait; it is left to the
// process's end, with its job.
TEST_F(CancelTest, AWorkerThatDoesNotEndIsLeftAfterABoundedWait) {
  workerStopWaitMs = 300;
  Make(1);
  StartGatedUpdate();
  const DWORD took = ClickCancel(dialog->hwnd());
  EXPECT_GE(took, 300u);
  EXPECT_LT(took, 5000u) << "the cancel waited for the worker's end";
  EXPECT_EQ(dialog->job(), nullptr);
  EXPECT_TRUE(TakeQuit());
  std::printf("cancel of a worker that does not end took %lu ms\n", took);
}

// A run that has replaced one file (its journal says so, its backup holds the
// old contents) and goes on until the job is cancelled; then it still waits
// for the dialog's thread a few times, as its result message does, before it
// ends.
struct ReplacedFileRun {
  std::string folder;
  std::string destination;
  std::string backup;
  volatile LONG replaced = 0;
  volatile LONG ended = 0;
};

std::shared_ptr<ReplacedFileRun> ScriptReplacedFile(bool heedsCancel) {
  auto run = std::make_shared<ReplacedFileRun>();
  run->folder = win_test::UniqueFolder("ui-stop") + "\\";
  run->destination = run->folder + "a.dll";
  run->backup = run->folder + "TempBackUpFolder\\a.dll";
  CreateDirectoryA((run->folder + "TempBackUpFolder").c_str(), nullptr);
  win_test::WriteBytes(run->destination, "new");
  win_test::WriteBytes(run->backup, "old");
  SetWorkerScript([run, heedsCancel](const WorkerRun& w) {
    UpdateJob* job = w.job;
    job->state().exeFolder = run->folder;
    job->state().backupFolder = run->folder + "TempBackUpFolder";
    job->state().tempFolder = run->folder + "UpdateTempFolder";
    StartInstallJournal(job->state().backupFolder);
    AppendInstallJournal(job->state().backupFolder, {install_journal::RecordKind::File, "\\a.dll", true, {}});
    job->state().BackupMap.Set(run->destination, run->backup);
    FileTable files;
    files.Set("\\a.dll", "http://u.example/a.dll");
    w.observer->FillFileList(files);
    InterlockedExchange(&run->replaced, 1);
    if (heedsCancel) {
      job->WaitForCancel(20000);
    } else {
      WaitForSingleObject(WorkerGate(), 20000);
    }
    for (int i = 0; i < 20; ++i) SendMessageA(w.resultWindow, WM_NULL, 0, 0);
    InterlockedExchange(&run->ended, 1);
    return 0;
  });
  return run;
}

// A worker whose handle allows no wait: the dialog's wait for it fails.
HANDLE StartUnwaitableWorker(WorkerRun* run) {
  HANDLE full = StartScriptedWorker(run);
  HANDLE limited = nullptr;
  DuplicateHandle(GetCurrentProcess(), full, GetCurrentProcess(), &limited, THREAD_QUERY_LIMITED_INFORMATION,
                  FALSE, 0);
  CloseHandle(full);
  return limited;
}

TEST_F(CancelTest, StoppingAWorkerWaitsForItsEndThenRestoresTheBackups) {
  struct Case {
    const char* name;
    bool atExit;  // the message loop has ended, rather than the cancel button
    StartWorkerThread startWorker;
    bool heedsCancel = true;  // false: the worker runs on past the dialog's wait
  };
  const Case cases[] = {
      {"cancel", false, StartScriptedWorker},
      {"exit", true, StartScriptedWorker},
      {"cancel, failed wait", false, StartUnwaitableWorker},
      {"exit, failed wait", true, StartUnwaitableWorker},
      {"cancel, worker held past the wait", false, StartUnwaitableWorker, false},
      {"exit, worker held past the wait", true, StartScriptedWorker, false},
  };
  for (const Case& c : cases) {
    workerStopWaitMs = c.heedsCancel ? DialogHooks().workerStopWaitMs : 300;
    Make(1, c.startWorker);
    const auto run = ScriptReplacedFile(c.heedsCancel);
    dialog->StartUpdate();
    ASSERT_TRUE(PumpUntil([&] { return run->replaced == 1; })) << c.name;
    const size_t balloonsBefore = Balloons().size();

    if (c.atExit) {
      dialog->StopBeforeExit();
    } else {
      ClickCancel(dialog->hwnd());
    }

    EXPECT_EQ(run->ended, c.heedsCancel ? 1 : 0) << c.name << ": the worker still ran";
    EXPECT_EQ(win_test::ReadBytes(run->destination), "old") << c.name;
    EXPECT_EQ(dialog->job(), nullptr) << c.name;
    EXPECT_EQ(Balloons().size(), balloonsBefore) << c.name;
    EXPECT_EQ(TakeQuit(), !c.atExit) << c.name;
    EXPECT_FALSE(win_test::Exists(run->backup)) << c.name;
    win_test::RemoveTree(run->folder);
    TearDown();
    SetUp();
  }
}

}  // namespace
