// The download client against the scripted HTTP server (tests/fixtures/
// http_server.py), which run_download_tests.py starts before this program. The
// server's behaviour comes from each URL's query string; every URL carries a
// token "t=<name>" last, so that the server's request log can be counted.
// Environment: DOWNLOAD_TEST_PORT (the server), DOWNLOAD_TEST_CLOSED_PORT (a
// port where nothing listens), DOWNLOAD_TEST_AGENT_PORT (a server whose body is
// the request's User-Agent). The server's root holds pack.dll.bz2 (1000
// bytes), pack.dll.BZ2 (2000 bytes) and bz2 (3000 bytes).

#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/win_test_files.h"
#include "updater/core/download_queue.h"
#include "updater/core/update_job.h"

namespace {

using namespace win_test;

struct Event {
  enum Kind { Step, StepIt, Report } kind;
  std::string path;
  int stage = 0;
  int32_t value = 0;
};

bool operator==(const Event& a, const Event& b) {
  return a.kind == b.kind && a.path == b.path && a.stage == b.stage && a.value == b.value;
}

std::ostream& operator<<(std::ostream& out, const Event& e) {
  const char* kinds[] = {"SetStep", "StepIt", "Report"};
  return out << kinds[e.kind] << "(" << e.path << ", " << e.stage << ", " << e.value << ")";
}

Event StepEvent(int step) { return {Event::Step, "", 0, step}; }
Event StepItEvent() { return {Event::StepIt, "", 0, 0}; }
Event ReportEvent(const std::string& path, int stage, int32_t value) {
  return {Event::Report, path, stage, value};
}

// Stands in for the dialog: records what would reach its progress bar and rows.
class RecordingObserver : public UpdateObserver {
 public:
  RecordingObserver() : reached_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~RecordingObserver() override { CloseHandle(reached_); }

  void FillFileList(const FileTable&) override {}
  bool ReportFileProgress(const std::string& path, int stage, int32_t value) override {
    Add(ReportEvent(path, stage, value));
    if (stage == Downloading && value >= awaitedBytes_) SetEvent(reached_);
    return !path.empty();
  }
  void SetProgressStep(int step) override { Add(StepEvent(step)); }
  void StepProgress() override { Add(StepItEvent()); }

  std::vector<Event> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  int Count(Event::Kind kind, int stage = -1) const {
    int n = 0;
    for (const Event& e : events()) n += e.kind == kind && (stage < 0 || e.stage == stage);
    return n;
  }
  // Set once a download has received at least bytes (set before it starts).
  HANDLE Reached(int32_t bytes) {
    awaitedBytes_ = bytes;
    return reached_;
  }

 private:
  void Add(const Event& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(e);
  }
  mutable std::mutex mutex_;
  std::vector<Event> events_;
  HANDLE reached_;
  std::atomic<int32_t> awaitedBytes_{1};
};

// The limit of an update file, which every body here stays under.
constexpr int64_t kMax = kInstallFileMaxBytes;

std::string ServerUrl(const std::string& pathAndQuery) {
  return "http://127.0.0.1:" + EnvText("DOWNLOAD_TEST_PORT") + pathAndQuery;
}

// The whole body of url, fetched without the client under test.
std::string FetchTextWithFlags(const std::string& url, DWORD flags) {
  std::string text;
  HINTERNET session = InternetOpenA("probe", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (session == nullptr) return text;
  HINTERNET request = InternetOpenUrlA(session, url.c_str(), nullptr, 0, flags, 0);
  if (request != nullptr) {
    char buffer[4096];
    DWORD count = 0;
    while (InternetReadFile(request, buffer, sizeof buffer, &count) && count > 0) text.append(buffer, count);
    InternetCloseHandle(request);
  }
  InternetCloseHandle(session);
  return text;
}

// How many requests carried the token "t=name" (the last item of their query).
std::string FetchText(const std::string& url) { return FetchTextWithFlags(url, 0x84000002u); }

int RequestsWithToken(const std::string& name) {
  const std::string log = FetchText(ServerUrl("/__requests"));
  const std::string needle = "t=" + name + "\"";
  int n = 0;
  for (std::size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
  return n;
}

int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = data.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return names;
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

class DownloadClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(EnvText("DOWNLOAD_TEST_PORT").empty()) << "run through run_download_tests.py";
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info->name();
    std::replace(name.begin(), name.end(), '/', '-');  // a parameterised test's name holds its row
    work_ = TempFolder() + "download-" + name + "-" + std::to_string(GetCurrentProcessId());
    RemoveTree(work_);
    ASSERT_TRUE(CreateDirectoryA(work_.c_str(), nullptr));
    // The work folder plays the part of tempFolder: a file's display path is
    // what follows it.
    job_.state().exeFolder = work_ + "\\";
    job_.state().tempFolder = work_;
    job_.SetOwner(&observer_);
  }
  void TearDown() override { RemoveTree(work_); }

  std::string work_;
  RecordingObserver observer_;
  UpdateJob job_;
};

TEST_F(DownloadClient, EmptyBodyWithZeroLengthSucceedsWithoutSteps) {
  const std::string local = work_ + "\\empty.bin";
  EXPECT_TRUE(job_.DownloadFile(local, ServerUrl("/empty.bin?size=0&t=empty"), kMax));
  const std::vector<Event> expected = {StepEvent(500), ReportEvent("\\empty.bin", DownloadStarted, 0),
                                       ReportEvent("\\empty.bin", Downloaded, 0)};
  EXPECT_EQ(observer_.events(), expected);
  EXPECT_EQ(FileSize(local), 0);
  EXPECT_EQ(RequestsWithToken("empty"), 1);
}

// The server writes each body with one send, so on loopback every read but the
// last finds a full 20000 bytes waiting.
TEST_F(DownloadClient, ProgressStepsOncePerFullChunk) {
  const std::string local = work_ + "\\codec\\b.ocx";
  ASSERT_TRUE(CreateDirectoryA((work_ + "\\codec").c_str(), nullptr));
  EXPECT_TRUE(job_.DownloadFile(local, ServerUrl("/b.ocx?size=123456&t=chunks"), kMax));
  std::vector<Event> expected = {StepEvent(125), ReportEvent("\\codec\\b.ocx", DownloadStarted, 123456)};
  for (int32_t received : {20000, 40000, 60000, 80000, 100000, 120000, 123456}) {
    expected.push_back(StepItEvent());
    expected.push_back(ReportEvent("\\codec\\b.ocx", Downloading, received));
  }
  expected.push_back(ReportEvent("\\codec\\b.ocx", Downloaded, 123456));
  EXPECT_EQ(observer_.events(), expected);
  EXPECT_EQ(FileSize(local), 123456);
}

TEST_F(DownloadClient, StepFollowsTheAnnouncedLength) {
  struct Case { int32_t length; int step; };
  for (const Case& c : {Case{19999, 500}, Case{2000000, 9}}) {
    RecordingObserver observer;
    job_.SetOwner(&observer);
    const std::string local = work_ + "\\sized.bin";
    const std::string query = "?size=" + std::to_string(c.length) + "&t=sized" + std::to_string(c.length);
    EXPECT_TRUE(job_.DownloadFile(local, ServerUrl("/sized.bin" + query), kMax)) << c.length;
    const std::vector<Event> events = observer.events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front(), StepEvent(c.step));
    EXPECT_EQ(events.back(), ReportEvent("\\sized.bin", Downloaded, c.length));
    EXPECT_EQ(FileSize(local), c.length);
  }
}

// The first attempt brings 30000 new bytes; the server cannot continue them,
// so the second and third start again and bring nothing new, and after a
// fourth (the third that brought nothing) the file ends, within three times
// its length in bytes written.
TEST_F(DownloadClient, ShortBodyWithoutRangesStopsWithinThreeTimesItsLengthAndKeepsTheBytes) {
  const std::string local = work_ + "\\short.bin";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(job_.DownloadFile(local, ServerUrl("/short.bin?size=50000&cut=30000&norange=1&t=short"),
                                 kInstallFileMaxBytes));
  const double elapsed = MillisecondsSince(start);
  EXPECT_EQ(FileSize(local), 30000);
  EXPECT_EQ(RequestsWithToken("short"), 4);
  EXPECT_GE(elapsed, 200.0) << "pauses of 100 ms between the attempts";
  EXPECT_EQ(observer_.Count(Event::Report, DownloadStarted), 4);
  EXPECT_EQ(observer_.Count(Event::Report, Downloaded), 0);
  std::printf("[ figures  ] four cut attempts took %.0f ms\n", elapsed);
}

// Bytes i of a generated body are (i + shift) % 251.
bool HoldsGeneratedBody(const std::string& path, int64_t size, int shift) {
  const std::string bytes = ReadBytes(path);
  if (static_cast<int64_t>(bytes.size()) != size) return false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (static_cast<unsigned char>(bytes[i]) != (i + shift) % 251) return false;
  }
  return true;
}

// The refusal of a redirect from https to http reads the URL a request ended
// at; were WinINet to give none, every https download would be refused.
TEST_F(DownloadClient, WinINetTellsTheUrlARequestEndedAt) {
  const std::string url = ServerUrl("/where.bin?size=10&t=where");
  HINTERNET session = InternetOpenA("probe", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);
  HINTERNET request = InternetOpenUrlA(session, url.c_str(), nullptr, 0, kOpenUrlFlags, 0);
  char text[1024] = {};
  DWORD size = sizeof text;
  const bool told = request != nullptr && InternetQueryOptionA(request, INTERNET_OPTION_URL, text, &size);
  if (request != nullptr) InternetCloseHandle(request);
  InternetCloseHandle(session);
  EXPECT_TRUE(told);
  EXPECT_EQ(std::string(text), url);
  EXPECT_FALSE(IsDowngradeRedirect(url, text));
}

TEST_F(DownloadClient, CutBodyIsContinuedOnlyWhileTheServerStillHoldsIt) {
  struct Case { const char* query; bool ok; int requests; int64_t size; int shift; const char* why; };
  const Case cases[] = {
      {"size=50000&cut=20000&t=resume", true, 3, 50000, 0, "each cut continued from the bytes kept"},
      {"size=150000&cut=30000&t=manycuts", true, 5, 150000, 0, "attempts that bring bytes cost none of the three"},
      {"size=50000&cut=20000&cutonce=1&norange=1&t=range200", true, 2, 50000, 0, "a 200 to a range starts again"},
      {"size=50000&cut=20000&cutonce=1&changes=1&t=changed", true, 2, 50000, 1, "a changed ETag starts again"},
      {"size=50000&cut=20000&noetag=1&t=noetag", false, 4, 20000, 0, "nothing guards a range: never continued"},
      {"size=50000&cut=20000&noetag=1&lastmodified=strong&t=lmstrong", true, 3, 50000, 0,
       "a Last-Modified a day before its Date guards a range"},
      {"size=50000&cut=20000&noetag=1&lastmodified=weak&t=lmweak", false, 4, 20000, 0,
       "a Last-Modified of its Date's second is weak: never continued"},
      {"size=50000&cut=30000&cutgrow=10000&norange=1&t=norange3", true, 3, 50000, 0,
       "no ranges: cut at 0.6 and 0.8, the third attempt still gets the whole body"},
  };
  for (const Case& c : cases) {
    const std::string local = work_ + "\\resumed.bin";
    EXPECT_EQ(job_.DownloadFile(local, ServerUrl(std::string("/resumed.bin?") + c.query), kMax),
              c.ok)
        << c.why;
    EXPECT_EQ(RequestsWithToken(std::strrchr(c.query, '=') + 1), c.requests) << c.why;
    EXPECT_TRUE(HoldsGeneratedBody(local, c.size, c.shift)) << c.why << ": " << FileSize(local);
  }
}

TEST_F(DownloadClient, LengthOverTheMaximumFailsBeforeTheFileIsCreated) {
  struct Case { const char* query; int64_t maxLength; bool ok; int64_t size; int requests; };
  const Case cases[] = {
      {"size=4097&t=over", 4096, false, -1, 1},  // refused at once, never retried
      {"size=4096&t=limit", 4096, true, 4096, 1},
  };
  for (const Case& c : cases) {
    const std::string local = work_ + "\\limited.bin";
    EXPECT_EQ(job_.DownloadFile(local, ServerUrl(std::string("/limited.bin?") + c.query), c.maxLength), c.ok)
        << c.query;
    EXPECT_EQ(FileSize(local), c.size) << c.query;
    EXPECT_EQ(RequestsWithToken(std::strrchr(c.query, '=') + 1), c.requests) << c.query;
  }
  EXPECT_EQ(observer_.Count(Event::Report, DownloadStarted), 1) << "the refused answer reports nothing";
}

// Whatever the server sends after its announced length is never written.
TEST_F(DownloadClient, BodyPastItsAnnouncedLengthIsCut) {
  const std::string local = work_ + "\\long.bin";
  const bool ok = job_.DownloadFile(local, ServerUrl("/long.bin?size=3000&length=2000&t=long"), kMax);
  EXPECT_LE(FileSize(local), 2000);
  if (ok) {
    EXPECT_TRUE(HoldsGeneratedBody(local, 2000, 0));
  }
}

// Names of the files under folder and its subfolders that begin with prefix.
void FindFilesWithPrefix(const std::string& folder, const std::string& prefix, std::vector<std::string>& found) {
  for (const std::string& name : FolderEntries(folder)) {
    const std::string path = folder + "\\" + name;
    if (GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
      FindFilesWithPrefix(path, prefix, found);
    } else if (name.compare(0, prefix.size(), prefix) == 0) {
      found.push_back(path);
    }
  }
}

TEST_F(DownloadClient, DownloadLeavesNoCopyInTheWinINetCache) {
  const std::string name = "uncached" + std::to_string(GetCurrentProcessId());
  EXPECT_TRUE(job_.DownloadFile(work_ + "\\" + name + ".bin", ServerUrl("/" + name + ".bin?size=70000&t=cache"), kMax));
  // The cache names its copy after the URL's file name ("uncached123[1].bin").
  std::vector<std::string> copies;
  FindFilesWithPrefix(EnvText("LOCALAPPDATA") + "\\Microsoft\\Windows\\INetCache", name, copies);
  EXPECT_TRUE(copies.empty()) << copies.front();
  // Seen to work: the bare loop's flags without INTERNET_FLAG_NO_CACHE_WRITE do leave one.
  EXPECT_EQ(FetchTextWithFlags(ServerUrl("/" + name + ".bin?size=100&t=cachecheck"), 0x80000002u).size(), 100u);
  FindFilesWithPrefix(EnvText("LOCALAPPDATA") + "\\Microsoft\\Windows\\INetCache", name, copies);
  EXPECT_EQ(copies.size(), 1u);
  for (const std::string& copy : copies) DeleteFileA(copy.c_str());
}

TEST_F(DownloadClient, AgentIsTheProgramsOwnName) {
  const std::string local = work_ + "\\agent.txt";
  EXPECT_TRUE(job_.DownloadFile(local, "http://127.0.0.1:" + EnvText("DOWNLOAD_TEST_AGENT_PORT") + "/agent", kMax));
  char text[64] = {};
  HANDLE file = CreateFileA(local.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD read = 0;
  ReadFile(file, text, sizeof text - 1, &read, nullptr);
  CloseHandle(file);
  EXPECT_STREQ(text, "download_tests");
}

TEST_F(DownloadClient, DownloadOnceMakesOneAttempt) {
  const std::string local = work_ + "\\once.bin";
  EXPECT_FALSE(job_.DownloadOnce(local, ServerUrl("/once.bin?size=50000&cut=30000&t=once")));
  EXPECT_EQ(RequestsWithToken("once"), 1);
  EXPECT_EQ(FileSize(local), 30000);
}

// A length text that does not begin with a digit reads as 0, as C atoi reads it.
TEST_F(DownloadClient, LengthWithoutDigitsReadsAsZero) {
  const std::string local = work_ + "\\text.bin";
  EXPECT_TRUE(job_.DownloadOnce(local, ServerUrl("/text.bin?size=0&length=none&t=text0")));
  EXPECT_EQ(observer_.events().front(), StepEvent(500));
  EXPECT_EQ(FileSize(local), 0);
  EXPECT_FALSE(job_.DownloadOnce(local, ServerUrl("/text.bin?size=10&length=none&t=text10")));
}

TEST_F(DownloadClient, Bz2UrlIsStoredBesideTheLocalPath) {
  struct Case { const char* url; const char* written; int64_t size; };
  const std::string port = EnvText("DOWNLOAD_TEST_PORT");
  const Case cases[] = {
      {"/pack.dll.bz2", "pack.dll.bz2", 1000},
      {"/pack.dll.BZ2", "pack.dll", 2000},  // letter case counts
  };
  ASSERT_TRUE(CreateDirectoryA((work_ + "\\bin").c_str(), nullptr));
  for (const Case& c : cases) {
    RecordingObserver observer;
    job_.SetOwner(&observer);
    EXPECT_TRUE(job_.DownloadFile(work_ + "\\bin\\pack.dll", ServerUrl(c.url), kMax)) << c.url;
    EXPECT_EQ(FolderEntries(work_ + "\\bin"), std::vector<std::string>{c.written}) << c.url;
    EXPECT_EQ(FileSize(work_ + "\\bin\\" + c.written), c.size) << c.url;
    // Progress is reported under the local path whatever file receives the body.
    EXPECT_EQ(observer.events().back(), ReportEvent("\\bin\\pack.dll", Downloaded, static_cast<int32_t>(c.size)));
    DeleteFileA((work_ + "\\bin\\" + c.written).c_str());
  }
}

TEST_F(DownloadClient, UrlWithoutAnyDotWritesTheLocalPath) {
  // "localhost" keeps the URL free of dots, so its extension is the whole URL.
  const std::string local = work_ + "\\pack.dll";
  EXPECT_TRUE(job_.DownloadFile(local, "http://localhost:" + EnvText("DOWNLOAD_TEST_PORT") + "/bz2", kMax));
  EXPECT_EQ(FolderEntries(work_), std::vector<std::string>{"pack.dll"});
  EXPECT_EQ(FileSize(local), 3000);
}

TEST_F(DownloadClient, Bz2NameThatIsNoPlainFileNameIsNeitherRequestedNorWritten) {
  const char* const urls[] = {
      "/x/..\\..\\evil.dll?t=unsafe1&.bz2",  // backslashes would climb out of the folder
      "/x/a?t=unsafe2&b=.bz2",              // a query in the name
      "/x/nul.bz2",                         // a device
      "/x/a:b.bz2",                         // an alternate data stream
  };
  ASSERT_TRUE(CreateDirectoryA((work_ + "\\bin").c_str(), nullptr));
  for (const char* url : urls) {
    EXPECT_FALSE(job_.DownloadFile(work_ + "\\bin\\pack.dll", ServerUrl(url), kMax)) << url;
  }
  EXPECT_TRUE(FolderEntries(work_ + "\\bin").empty());
  EXPECT_EQ(FolderEntries(work_), std::vector<std::string>{"bin"});
  EXPECT_TRUE(observer_.events().empty());
  const std::string log = FetchText(ServerUrl("/__requests"));
  EXPECT_EQ(log.find("/x/"), std::string::npos) << log;
}

TEST_F(DownloadClient, RefusedConnectionFailsAfterThreeAttempts) {
  const std::string local = work_ + "\\refused.bin";
  const auto start = std::chrono::steady_clock::now();
  const std::string closed = "http://127.0.0.1:" + EnvText("DOWNLOAD_TEST_CLOSED_PORT");
  EXPECT_FALSE(job_.DownloadFile(local, closed + "/refused.bin", kMax));
  const double elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 200.0) << "three attempts have two pauses between them";
  EXPECT_TRUE(observer_.events().empty());
  EXPECT_EQ(FileSize(local), -1);
  std::printf("[ figures  ] three refused attempts took %.0f ms\n", elapsed);
}

TEST_F(DownloadClient, ResponseThatCannotBeTheFileIsAFailedDownload) {
  struct Case { const char* query; const char* why; };
  const Case cases[] = {
      {"status=404&size=300&t=s404", "an error page whose length matches"},
      {"status=500&size=300&t=s500", "a server error whose length matches"},
      {"nolength=1&size=300&t=nolength", "no Content-Length"},
      {"chunked=1&size=300&t=chunked", "chunked, so no Content-Length"},
      {"size=0&length=-40000&t=negative", "a negative length would divide by zero"},
  };
  for (const Case& c : cases) {
    RecordingObserver observer;
    job_.SetOwner(&observer);
    const std::string local = work_ + "\\page.bin";
    EXPECT_FALSE(job_.DownloadFile(local, ServerUrl(std::string("/page.bin?") + c.query), kMax)) << c.why;
    EXPECT_TRUE(observer.events().empty()) << c.why;
    EXPECT_EQ(FileSize(local), -1) << c.why;
  }
  EXPECT_EQ(RequestsWithToken("s404"), 3);
}

TEST_F(DownloadClient, SchemeWithoutHttpResponseGetsNoTransfer) {
  const std::string local = work_ + "\\ftp.bin";
  EXPECT_FALSE(job_.DownloadFile(local, "ftp://127.0.0.1:" + EnvText("DOWNLOAD_TEST_PORT") + "/ftp.bin", kMax));
  EXPECT_TRUE(observer_.events().empty());
  EXPECT_EQ(FileSize(local), -1);
}

TEST_F(DownloadClient, TargetThatCannotBeCreatedFailsAfterStarting) {
  const std::string local = work_ + "\\missing\\a.bin";
  EXPECT_FALSE(job_.DownloadFile(local, ServerUrl("/a.bin?size=10&t=nofolder"), kMax));
  EXPECT_EQ(observer_.Count(Event::Report, DownloadStarted), 3);
  EXPECT_EQ(observer_.Count(Event::Report), 3);
  EXPECT_EQ(FolderEntries(work_), std::vector<std::string>{});
}

TEST_F(DownloadClient, AttemptTruncatesWhatAnEarlierOneLeft) {
  const std::string local = work_ + "\\again.bin";
  EXPECT_FALSE(job_.DownloadFile(local, ServerUrl("/again.bin?size=50000&cut=30000&norange=1&t=again1"),
                                 kInstallFileMaxBytes));
  ASSERT_EQ(FileSize(local), 30000);
  EXPECT_TRUE(job_.DownloadFile(local, ServerUrl("/again.bin?size=100&t=again2"), kMax));
  EXPECT_EQ(FileSize(local), 100);
}

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
