// The download client against the scripted HTTP server when the server is
// slow, silent or hostile, or the download is cancelled: every file ends in
// bounded time and bytes (environment and server: download_client_test.cpp).

#include "tests/transfer/download_client_fixture.h"

namespace {

using namespace download_test;
// The fixture, not the client it tests.
using download_test::DownloadClient;

struct CancelRun {
  UpdateJob* job;
  std::string local;
  std::string url;
  bool result = true;
};

DWORD WINAPI RunDownload(void* argument) {
  CancelRun* run = static_cast<CancelRun*>(argument);
  try {
    run->result = run->job->DownloadFile(run->local, run->url, kMax);
  } catch (const TransferError&) {
    run->result = true;  // a cancelled transfer must end as false, not raise
  }
  return 0;
}

// True once the server has seen a request with the token, false after timeoutMs.
bool AwaitRequest(const std::string& token, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (RequestsWithToken(token) == 0) {
    if (GetTickCount64() > deadline) return false;
  }
  return true;
}

// Short time-outs keep these cases quick; the product's are the platform's usual ones.
constexpr TransferTimeouts kTestTimeouts{1000, 1000, 1000};

// A server that takes the request and never answers fails the attempt at the
// receive time-out, like any other server that cannot be reached.
TEST_F(DownloadClient, SilentServerFailsEachAttemptAtTheTimeout) {
  job_.downloads().timeouts = kTestTimeouts;
  const std::string local = work_ + "\\silent.bin";
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(job_.DownloadOnce(local, ServerUrl("/silent.bin?silent=1&t=silentonce")));
  const double once = MillisecondsSince(start);
  EXPECT_GE(once, 900.0) << "ended before the time-out";
  EXPECT_LT(once, 5000.0) << "the time-out was not applied";

  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(job_.DownloadFile(local, ServerUrl("/silent.bin?silent=1&t=silentfile"), kMax));
  const double file = MillisecondsSince(start);
  EXPECT_EQ(RequestsWithToken("silentfile"), 3);
  EXPECT_TRUE(observer_.events().empty());
  EXPECT_EQ(FolderEntries(work_), std::vector<std::string>{});
  std::printf("[ figures  ] a silent server: one attempt %.0f ms, three attempts %.0f ms (time-out 1000 ms)\n",
              once, file);
}

// A body that stops coming ends its attempt at the receive time-out, and the
// next attempt continues it. One byte per attempt still ends the download in
// bounded time: a 1000-byte body buys no attempt beyond the first six.
TEST_F(DownloadClient, StalledBodyIsContinuedUntilTheAttemptsRunOut) {
  job_.downloads().timeouts = kTestTimeouts;
  const std::string local = work_ + "\\stalled.bin";
  // One byte, then nothing for 60 s, on every connection.
  EXPECT_FALSE(job_.DownloadFile(local, ServerUrl("/stalled.bin?size=1000&slow=60&t=stalled"), kMax));
  EXPECT_EQ(RequestsWithToken("stalled"), 2 * kDownloadAttempts);
  EXPECT_EQ(FileSize(local), 2 * kDownloadAttempts);
  EXPECT_EQ(observer_.Count(Event::Report, Downloaded), 0);
}

// A cancel from another thread ends a download wherever it waits, soon and
// without a further attempt; with the usual time-outs, only the cancel can.
struct CancelCase {
  const char* name;
  const char* pathAndQuery;  // the server's script; its last item is "t=token"
  const char* token;
  // Where the cancel comes: once the server holds the whole request, once the
  // file is created (the answer's head is in), once a whole chunk is reported;
  // the message says which required one never came.
  bool afterRequest, afterFile, afterFirstChunk;
  const char* notReachedMessage;
  DWORD endsWithinMs;
  const char* figure;         // what ended, for the figures line
  const char* goesOnMessage;  // what went on when it did not end
  // No file reached its end; no report and no file at all (no answer came);
  // others may read the file being written, not write it; the job stays cancelled.
  bool noDownloadedReport, nothingReported, checksTheHeldFile, checksLaterDownloads;
};

const CancelCase kCancelCases[] = {
    // 600 bytes at one byte per 100 ms would take a minute; a read of 20000
    // bytes blocks until the cancel.
    {"SlowTransfer", "/slow.bin?size=600&slow=0.1&t=slow", "slow", true, true, false,
     "the server never saw the request", 1000, "the transfer", "the transfer went on after the cancel", true,
     false, true, true},
    // Once the server holds the whole request, the client waits for the answer.
    {"SilentServer", "/silent.bin?silent=1&t=silentcancel", "silentcancel", true, false, false,
     "the server never saw the request", 1000, "the wait for a silent server",
     "the attempt went on waiting after the cancel", false, true, false, false},
    // One byte, then nothing for 60 s: the first chunk waits for data that does
    // not come, and the receive time-out would end it only after 30 s.
    {"StoppedBody", "/stopped.bin?size=1000&slow=60&t=stopped", "stopped", false, true, false, nullptr, 1000,
     "the wait for a stopped body", "the attempt went on waiting after the cancel", true, false, false, false},
    // A chunk at once, then one byte each half second: the next chunk is read
    // whole, and a read that waited for all of it would hold the cancel until
    // the server cuts the line after 30 more bytes.
    {"TricklingBody", "/burst.bin?size=100000&fastfirst=20000&slow=0.5&cut=20030&t=burst", "burst", false, false,
     true, "the quick part never arrived", 5000, "a read of a trickling body", "the read went on after the cancel",
     false, false, false, false},
};

class DownloadClientCancel : public DownloadClient, public ::testing::WithParamInterface<CancelCase> {};

// Waits, up to 20 s each, for what the case's cancel comes after; false when
// a required part never happened.
bool AwaitCancelPoint(const CancelCase& c, const std::string& local, HANDLE chunkReached) {
  bool reached = true;
  if (c.afterRequest) reached = AwaitRequest(c.token, 20000);
  const ULONGLONG deadline = GetTickCount64() + 20000;
  if (c.afterFile) {
    while (FileSize(local) < 0 && GetTickCount64() < deadline) Sleep(5);  // created after the headers
  }
  if (c.afterFirstChunk) reached = WaitForSingleObject(chunkReached, 20000) == WAIT_OBJECT_0;
  return reached;
}

TEST_P(DownloadClientCancel, EndsTheDownloadSoonWithoutAnotherAttempt) {
  const CancelCase& c = GetParam();
  const HANDLE chunkReached = c.afterFirstChunk ? observer_.Reached(kTransferChunkBytes) : nullptr;
  const std::string name = std::string(c.pathAndQuery).substr(1, std::string(c.pathAndQuery).find('?') - 1);
  CancelRun run{&job_, work_ + "\\" + name, ServerUrl(c.pathAndQuery)};
  HANDLE thread = CreateThread(nullptr, 0, RunDownload, &run, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  const bool reached = AwaitCancelPoint(c, run.local, chunkReached);
  HANDLE writer = INVALID_HANDLE_VALUE;
  HANDLE reader = INVALID_HANDLE_VALUE;
  DWORD writeError = 0;
  if (c.checksTheHeldFile) {
    writer = CreateFileA(run.local.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    writeError = GetLastError();
    // A reader must let the file be renamed into place when it is whole.
    reader = CreateFileA(run.local.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  }
  const auto start = std::chrono::steady_clock::now();
  job_.Cancel();
  const DWORD waited = WaitForSingleObject(thread, c.endsWithinMs);
  const double took = MillisecondsSince(start);
  if (waited != WAIT_OBJECT_0) WaitForSingleObject(thread, 90000);  // never leave it running
  CloseHandle(thread);
  std::printf("[ figures  ] %s ended %.0f ms after the cancel\n", c.figure, took);
  if (c.notReachedMessage != nullptr) {
    ASSERT_TRUE(reached) << c.notReachedMessage;
  }
  if (c.checksTheHeldFile) {
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  }
  EXPECT_EQ(waited, WAIT_OBJECT_0) << c.goesOnMessage;
  EXPECT_FALSE(run.result);
  if (c.noDownloadedReport) {
    EXPECT_EQ(observer_.Count(Event::Report, Downloaded), 0);
  }
  if (c.nothingReported) {
    EXPECT_TRUE(observer_.events().empty());
    EXPECT_EQ(FolderEntries(work_), std::vector<std::string>{});
  }
  EXPECT_EQ(RequestsWithToken(c.token), 1) << "no further attempt after a cancel";
  if (c.checksLaterDownloads) {
    // Later downloads fail without a request.
    EXPECT_FALSE(job_.DownloadFile(work_ + "\\later.bin", ServerUrl("/later.bin?size=5&t=later"), kMax));
    EXPECT_EQ(RequestsWithToken("later"), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Cancel, DownloadClientCancel, ::testing::ValuesIn(kCancelCases),
                         [](const ::testing::TestParamInfo<CancelCase>& info) { return info.param.name; });

// The queue's end stops every transfer before it waits for any, and none of
// them waits for a whole chunk of a body that trickles.
TEST_F(DownloadClient, QueueEndStopsEveryTransferWithinSeconds) {
  const HANDLE reached = observer_.Reached(kTransferChunkBytes);
  job_.state().tempFolder = work_ + "\\UpdateTempFolder";
  ASSERT_TRUE(CreateDirectoryA(job_.state().tempFolder.c_str(), nullptr));
  for (int i = 0; i < static_cast<int>(kTransfersAtOnce); ++i) {
    const std::string name = "q" + std::to_string(i);
    job_.state().FileUrlMap.Set("\\" + name + ".bin",
                        ServerUrl("/" + name + ".bin?size=100000&fastfirst=20000&slow=0.5&cut=20030&t=" + name));
  }
  auto queue = std::make_unique<DownloadQueue>(job_.downloads(), job_.owner(), PlanUpdateDownloads(job_.state(), job_.state()), nullptr);
  const bool trickling = WaitForSingleObject(reached, 20000) == WAIT_OBJECT_0;
  const auto start = std::chrono::steady_clock::now();
  queue.reset();
  const double took = MillisecondsSince(start);
  std::printf("[ figures  ] the queue ended %.0f ms after its transfers were stopped\n", took);
  ASSERT_TRUE(trickling) << "no transfer got past its quick part";
  EXPECT_LT(took, 5000.0);
  for (int i = 0; i < static_cast<int>(kTransfersAtOnce); ++i) {
    EXPECT_LE(RequestsWithToken("q" + std::to_string(i)), 1) << "no attempt after the stop";
  }
}

// Counts what a download writes, across its attempts.
class CountingSink : public DownloadSink {
 public:
  void Restart() override {}
  void Add(const char*, std::size_t size) override { written += static_cast<int64_t>(size); }
  int64_t written = 0;
};

// Whatever the server does, a file ends within its time bound (a short grace
// period here; the product's is tens of seconds) and writes less than three
// times its length.
TEST_F(DownloadClient, EveryFileEndsInBoundedTimeAndBytes) {
  constexpr TransferBounds kTestBounds{2000, 1024};
  struct Case { const char* query; int64_t length; int requests; const char* why; };
  const Case cases[] = {
      {"size=400&slow=0.05&t=trickle", 400, 1, "twenty bytes a second, each well within the time-out"},
      {"size=2000000&cut=100000&cutgrow=10000&norange=1&t=grows", 2000000, 4,
       "each answer starts again with a little more"},
      {"size=100000&cut=90000&norange=1&t=rewrites", 100000, 4, "each answer rewrites nine tenths"},
  };
  for (const Case& c : cases) {
    ::DownloadClient client;
    client.bounds = kTestBounds;
    CountingSink sink;
    FileDownload download;
    download.path = work_ + "\\bounded.bin";
    download.maxLength = kMax;
    download.sink = &sink;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Fetch(download, ServerUrl(std::string("/bounded.bin?") + c.query), nullptr)) << c.why;
    const double took = MillisecondsSince(start);
    download.file.reset();
    EXPECT_LE(took, static_cast<double>(DueMs(kTestBounds, c.length)) + 2000.0) << c.why;
    EXPECT_LE(sink.written, kWrittenLengths * c.length) << c.why;
    EXPECT_LE(FileSize(download.path), c.length) << c.why;
    EXPECT_EQ(RequestsWithToken(std::strrchr(c.query, '=') + 1), c.requests) << c.why;
    std::printf("[ figures  ] %s: ended after %.0f ms, %lld bytes written\n", c.why, took,
                static_cast<long long>(sink.written));
  }
}

TEST_F(DownloadClient, ManifestIsStoredAsHistoryVersionList) {
  job_.state().tempFolder = job_.state().exeFolder + "UpdateTempFolder";
  EXPECT_FALSE(job_.DownloadManifest(""));
  EXPECT_TRUE(observer_.events().empty());

  EXPECT_TRUE(job_.DownloadManifest(ServerUrl("/list.cfg?size=321&t=manifest")));
  EXPECT_EQ(job_.state().historyPath, work_ + "\\HistoryVersionList.cfg");
  EXPECT_EQ(FileSize(job_.state().historyPath), 321);
  // The manifest lies beside the work folder: its display path is a fragment
  // that matches no row of the list.
  EXPECT_EQ(observer_.events().back(), ReportEvent("st.cfg", Downloaded, 321));

  EXPECT_FALSE(job_.DownloadManifest(ServerUrl("/list.cfg?status=404&size=10&t=manifest404")));
}

TEST_F(DownloadClient, OverlongConfigUrlIsRequestedCutTo254Characters) {
  // The settings name a 300-character manifest URL; its query keeps the server
  // answering whatever the cut leaves of the padding.
  const std::string base = ServerUrl("/list.cfg?size=40&pad=");
  std::string url = base;
  for (int i = 0; url.size() < 300; ++i) url += static_cast<char>('a' + i % 26);
  const std::string settings = "[Client]\r\nTime=100\r\nConfigUrl=" + url + "\r\n";
  job_.state().upgradeCfgPath = work_ + "\\Upgrade.cfg";
  HANDLE file = CreateFileA(job_.state().upgradeCfgPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, settings.data(), static_cast<DWORD>(settings.size()), &written, nullptr);
  CloseHandle(file);

  EXPECT_TRUE(job_.ReadClientSettings() && job_.DownloadManifest(job_.state().configUrl));
  EXPECT_EQ(FileSize(work_ + "\\HistoryVersionList.cfg"), 40);
  // The request log holds each path as a JSON string: the cut path, quoted.
  const std::string cut = url.substr(0, 254);
  const std::string requested = cut.substr(cut.find("/list.cfg"));
  const std::string log = FetchText(ServerUrl("/__requests"));
  EXPECT_NE(log.find("\"" + requested + "\""), std::string::npos) << requested << "\n" << log;
}

}  // namespace
