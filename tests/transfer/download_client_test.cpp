// The download client against the scripted HTTP server (tests/fixtures/
// http_server.py), which run_download_tests.py starts before this program. The
// server's behaviour comes from each URL's query string; every URL carries a
// token "t=<name>" last, so that the server's request log can be counted.
// Environment: DOWNLOAD_TEST_PORT (the server), DOWNLOAD_TEST_CLOSED_PORT (a
// port where nothing listens), DOWNLOAD_TEST_AGENT_PORT (a server whose body is
// the request's User-Agent). The server's root holds pack.dll.bz2 (1000
// bytes), pack.dll.BZ2 (2000 bytes) and bz2 (3000 bytes).
// This file: bodies, progress, ranges and names; download_client_bounds_test.cpp
// has the time-outs, cancels and bounds.

#include "tests/transfer/download_client_fixture.h"

namespace {

using namespace download_test;
// The fixture, not the client it tests.
using download_test::DownloadClient;

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

}  // namespace
