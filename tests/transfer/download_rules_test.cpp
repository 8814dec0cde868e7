#include "updater/transfer/download_rules.h"
#include "updater/transfer/shared_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

TEST(ProgressStep, StaysBelowFullScaleForFullReads) {
  struct Case { int32_t length; int32_t step; };
  const Case cases[] = {
      {0, 500},      {1, 500},        {19999, 500},   {20000, 333},     {39999, 333},
      {123456, 125}, {2000000, 9},    {INT32_MAX, 0},
  };
  for (const Case& c : cases) {
    std::optional<int32_t> step = ProgressStep(c.length);
    ASSERT_TRUE(step.has_value()) << c.length;
    EXPECT_EQ(*step, c.step) << c.length;
    // One step per full read never reaches the full scale before the file is installed.
    int32_t fullReads = c.length / kTransferChunkBytes + (c.length % kTransferChunkBytes != 0);
    EXPECT_LT(static_cast<int64_t>(*step) * fullReads, kProgressFullScale) << c.length;
  }
}

TEST(ProgressStep, NegativeLengthHasNoStep) {
  // -40000 would make the divisor 0, -60000 would make it negative.
  for (int32_t length : {-1, -39999, -40000, -59999, -60000, INT32_MIN}) {
    EXPECT_FALSE(ProgressStep(length).has_value()) << length;
  }
}

TEST(HttpStatus, OnlyTwoHundredsCarryTheFile) {
  for (uint32_t status : {200u, 203u, 206u, 299u}) EXPECT_TRUE(IsSuccessStatus(status)) << status;
  for (uint32_t status : {0u, 100u, 199u, 300u, 302u, 304u, 404u, 500u}) {
    EXPECT_FALSE(IsSuccessStatus(status)) << status;
  }
}

TEST(DisplayPath, DropsTheWorkFolderPrefix) {
  const std::string temp = "C:\\client\\UpdateTempFolder";
  EXPECT_EQ(DisplayPath(temp + "\\codec\\b.ocx", temp), "\\codec\\b.ocx");
  // The manifest lies beside the folder: what remains matches no row.
  EXPECT_EQ(DisplayPath("C:\\client\\HistoryVersionList.cfg", temp), "st.cfg");
  // Not longer than the folder: the whole path.
  EXPECT_EQ(DisplayPath("C:\\x.cfg", temp), "C:\\x.cfg");
  EXPECT_EQ(DisplayPath(temp, temp), temp);
  EXPECT_EQ(DisplayPath("C:\\a", ""), "C:\\a");
}

TEST(DownloadTarget, Bz2UrlsAreStoredBesideTheLocalPath) {
  struct Case { const char* local; const char* url; const char* target; };
  const Case cases[] = {
      {"C:\\t\\bin\\pack.dll", "http://h/u/pack.dll.bz2", "C:\\t\\bin\\pack.dll.bz2"},
      {"C:\\t\\bin\\pack.dll", "http://h/u/other.bz2", "C:\\t\\bin\\other.bz2"},
      // Letter case counts: only "bz2" exactly.
      {"C:\\t\\bin\\pack.dll", "http://h/u/pack.dll.BZ2", "C:\\t\\bin\\pack.dll"},
      {"C:\\t\\bin\\pack.dll", "http://h/u/pack.dll.Bz2", "C:\\t\\bin\\pack.dll"},
      // No "." at all: the extension is the whole URL, which is "bz2" only when
      // the URL is "bz2" itself.
      {"C:\\t\\bin\\pack.dll", "http://localhost/bz2", "C:\\t\\bin\\pack.dll"},
      {"C:\\t\\bin\\pack.dll", "bz2", "C:\\t\\bin\\bz2"},
      // A query after the extension makes it another extension.
      {"C:\\t\\bin\\pack.dll", "http://h/pack.dll.bz2?v=2", "C:\\t\\bin\\pack.dll"},
      // No "/": the last segment is the whole URL; no backslash: no folder.
      {"C:\\t\\pack.dll", "pack.dll.bz2", "C:\\t\\pack.dll.bz2"},
      {"pack.dll", "http://h/pack.dll.bz2", "pack.dll.bz2"},
      // A double-byte folder name whose trail byte looks like a backslash.
      {"C:\\t\\\x81\x5c\\a.dll", "http://h/a.dll.bz2", "C:\\t\\\x81\x5c\\a.dll.bz2"},
      {"C:\\t\\a.dll", "http://h/\xd6\xd0.bz2", "C:\\t\\\xd6\xd0.bz2"},
  };
  for (const Case& c : cases) {
    std::optional<std::string> target = DownloadTarget(c.local, c.url);
    ASSERT_TRUE(target.has_value()) << c.url;
    EXPECT_EQ(*target, c.target) << c.url;
  }
}

TEST(DownloadTarget, Bz2NameThatIsNoPlainFileNameIsRefused) {
  const char* const urls[] = {
      "http://h/..\\..\\evil.bz2",    // backslashes climb out of the folder
      "http://h/C:\\evil.bz2",        // a drive
      "http:evil.bz2",                // no "/": the scheme's colon stays in the name
      "http://h/a?b=c.bz2",           // a query
      "http://h/a#c.bz2",             // a fragment
      "http://h/a:stream.bz2",        // an alternate data stream
      "http://h/a*.bz2",  "http://h/a|b.bz2", "http://h/a<b.bz2", "http://h/a\"b.bz2",
      "http://h/a\tb.bz2",
      "http://h/nul.bz2", "http://h/CON.bz2", "http://h/com1.x.bz2", "http://h/LPT9 .bz2",
      "http://h/a\x81\x7f.bz2",       // a double-byte character that GBK does not have
  };
  for (const char* url : urls) {
    EXPECT_FALSE(DownloadTarget("C:\\t\\bin\\pack.dll", url).has_value()) << url;
  }
  // A segment that is only the extension is still a plain name.
  EXPECT_EQ(DownloadTarget("C:\\t\\a", "http://h/.bz2").value_or(""), "C:\\t\\.bz2");
}

TEST(HttpUrl, OnlyHttpSchemesGetATransfer) {
  for (const char* url : {"http://h/a", "HTTPS://h/a", "Http://h"}) EXPECT_TRUE(IsHttpUrl(url)) << url;
  for (const char* url : {"ftp://h/a", "file:///c:/a", "http:/h", "h/a", "", "https:"}) {
    EXPECT_FALSE(IsHttpUrl(url)) << url;
  }
}

static bool SingleByteCodePage(unsigned char) { return false; }

TEST(ApplicationName, IsTheFileNameWithoutExtension) {
  EXPECT_EQ(ApplicationName("C:\\client\\Torvane.exe", IsGbkLeadByte), "Torvane");
  EXPECT_EQ(ApplicationName("C:\\a.b\\torvane_win_tests.exe", IsGbkLeadByte), "torvane_win_tests");
  EXPECT_EQ(ApplicationName("C:\\a\\x.y.exe", IsGbkLeadByte), "x.y");
  EXPECT_EQ(ApplicationName("Torvane", IsGbkLeadByte), "Torvane");
  // On code page 1252 "\xE9" is 'é', which hides no backslash.
  EXPECT_EQ(ApplicationName("C:\\Caf\xE9\\Torvane.exe", SingleByteCodePage), "Torvane");
}

TEST(ContentLength, ReadsAsAtoiButInSixtyFourBits) {
  struct Case { const char* text; int64_t value; };
  const Case cases[] = {{"123456", 123456}, {" 42", 42}, {"none", 0}, {"", 0}, {"-40000", -40000},
                        {"3000000000", 3000000000LL}, {"99999999999999999999", INT64_MAX}, {"12abc", 12}};
  for (const Case& c : cases) EXPECT_EQ(ParseContentLength(c.text), c.value) << c.text;
}

TEST(ContentRange, OnlyASoundRangeIsRead) {
  const std::optional<ContentRange> range = ParseContentRange("bytes 300-999/1000");
  ASSERT_TRUE(range);
  EXPECT_EQ(range->first, 300);
  EXPECT_EQ(range->last, 999);
  EXPECT_EQ(range->total, 1000);
  for (const char* text : {"", "bytes */1000", "bytes 300-999/*", "bytes 999-300/1000", "bytes 300-1000/1000",
                           "items 0-1/2", "bytes 0-1/2 ", "bytes -1-2/3"}) {
    EXPECT_FALSE(ParseContentRange(text)) << text;
  }
}

TEST(ResumeHeaders, AskForTheRestOnlyUnderAValidator) {
  EXPECT_EQ(ResumeHeaders(300, "\"abc\""), "Range: bytes=300-\r\nIf-Range: \"abc\"\r\n");
  EXPECT_EQ(ResumeHeaders(0, "\"abc\""), "");
  EXPECT_EQ(ResumeHeaders(300, ""), "");
  EXPECT_EQ(ResumeHeaders(300, "\"a\"\r\nX-Evil: 1"), "");
}

TEST(AttemptBudget, OnlyAttemptsThatBringNothingUseUpTheThree) {
  // A negative reach stands for a restart that got that far.
  struct Case { std::vector<int64_t> reached; int64_t length; int attempts; const char* why; };
  const int64_t big = 1000 * kResumeAttemptBytes;
  const Case cases[] = {
      {{0, 0, 0, 0}, -1, 3, "nothing ever arrives"},
      {{100, 100, 100, 100, 100}, 1000, 4, "the first brought bytes, three brought nothing"},
      {{10, 20, 30, 40, 50, 60, 70, 80}, 1000, 6, "a small body buys no more than six"},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 3 * kResumeAttemptBytes, 9, "each 64 KiB buys one more"},
      {{100, -110, -120, -130, -140}, big, 4, "each restart brings nothing, however far it gets"},
      {{100, -50, 60, 70, -80, -90}, big, 6, "a restart's bytes may be continued"},
  };
  for (const Case& c : cases) {
    AttemptBudget budget;
    int attempts = 0;
    for (int64_t reached : c.reached) {
      ++attempts;
      if (!budget.AfterAttempt(reached < 0 ? -reached : reached, c.length, reached < 0)) break;
    }
    EXPECT_EQ(attempts, c.attempts) << c.why;
  }
}

TEST(TransferBounds, AFileEndsInTimeAndBytesBoundedByItsLength) {
  struct Case { TransferBounds bounds; int64_t bytes; uint64_t dueMs; };
  const Case cases[] = {
      {kDefaultTransferBounds, 0, 30000},
      {kDefaultTransferBounds, 1024, 31000},
      {kDefaultTransferBounds, 2147483647, 30000 + 2097151999},
      {kDefaultTransferBounds, -5, 30000},
      {{2000, 0}, 10, 12000},  // no floor reads as one byte per second
  };
  for (const Case& c : cases) EXPECT_EQ(DueMs(c.bounds, c.bytes), c.dueMs) << c.bytes;
  // A byte each second falls behind the floor as soon as the grace period ends.
  for (int64_t second = 0; second < 31; ++second) {
    EXPECT_LT(static_cast<uint64_t>(second) * 1000, DueMs(kDefaultTransferBounds, second));
  }
  EXPECT_GT(uint64_t{31000}, DueMs(kDefaultTransferBounds, 31));
  EXPECT_LT(DueMs(kDefaultTransferBounds, INT64_MAX), UINT64_MAX);

  struct Written { int64_t written; int64_t count; int64_t length; bool past; };
  const Written writes[] = {
      {0, 300, 100, false}, {250, 50, 100, false}, {250, 51, 100, true},
      {0, 1, 0, true},      {0, 1, INT64_MAX, false}, {INT64_MAX - 1, 2, INT64_MAX, true},
  };
  for (const Written& w : writes) EXPECT_EQ(WritesPastBound(w.written, w.count, w.length), w.past) << w.written;
}

// Transfers that share a line are behind only when all their bytes are: the
// line's own bytes against the floor, from its first request, and each file
// with its grace from its own. Steps of 10 ms; bytes spread evenly.
TEST(SharedLine, IsBehindOnlyWhenAllItsBytesAreBehindTheFloor) {
  struct Case { int transfers; int bytesPerSecondEach; uint64_t laterFileMs; uint64_t behindMs; const char* why; };
  constexpr uint64_t kNever = 0;
  const Case cases[] = {
      {4, 512, 0, kNever, "four files on 2048 B/s, each at half the floor"},
      {4, 75, 0, 42440, "a line of 300 B/s falls behind after 30 s / (1 - 300 / 1024)"},
      {2, 0, 0, 30000, "nothing at all: the grace only"},
      {1, 1, 0, 30030, "a byte a second ends soon after the grace"},
      {4, 0, 20000, 50000, "a file begun later has its grace from its own first request"},
  };
  for (const Case& c : cases) {
    SharedLine line(kDefaultTransferBounds);
    for (int i = 0; i < c.transfers; ++i) line.BeginFile(1000);
    uint64_t behind = kNever;
    int64_t sent = 0;
    for (uint64_t ms = 1000; ms <= 1000 + 200000 && behind == kNever; ms += 10) {
      if (c.laterFileMs != 0 && ms == 1000 + c.laterFileMs) line.BeginFile(ms);
      const int64_t due = static_cast<int64_t>(ms - 1000) * c.transfers * c.bytesPerSecondEach / 1000;
      line.Add(due - sent);
      sent = due;
      if (ms >= line.DueAtMs()) behind = ms - 1000;
    }
    EXPECT_NEAR(static_cast<double>(behind), static_cast<double>(c.behindMs), 20.0) << c.why;
    EXPECT_EQ(line.bytes(), sent) << c.why;
  }
  // Each of the first case's files alone falls behind after a minute.
  EXPECT_LT(DueMs(kDefaultTransferBounds, 512 * 61), uint64_t{61000});
}

TEST(HttpStatus, OnlyRedirectsThatRepeatTheRequestAreFollowed) {
  for (uint32_t status : {301u, 302u, 303u, 307u, 308u}) EXPECT_TRUE(IsRedirectStatus(status)) << status;
  for (uint32_t status : {200u, 206u, 300u, 304u, 305u, 306u, 404u}) EXPECT_FALSE(IsRedirectStatus(status)) << status;
}

TEST(DowngradeRedirect, HttpsNeverEndsAtHttp) {
  EXPECT_TRUE(IsDowngradeRedirect("https://h/a", "http://h/a"));
  EXPECT_TRUE(IsDowngradeRedirect("HTTPS://h/a", "ftp://h/a"));
  EXPECT_FALSE(IsDowngradeRedirect("https://h/a", "https://cdn/a"));
  EXPECT_FALSE(IsDowngradeRedirect("http://h/a", "http://h/b"));
  EXPECT_TRUE(IsDowngradeRedirect("https://h/a", ""));  // nowhere known: refused too
}
