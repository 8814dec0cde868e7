#include "updater/base/run_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/win_test_files.h"

namespace {

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream text(win_test::ReadBytes(path));
  for (std::string line; std::getline(text, line);) {
    EXPECT_EQ(line.back(), '\r');
    lines.push_back(line.substr(0, line.size() - 1));
  }
  return lines;
}

}  // namespace

TEST(RunLog, LinesFromManyThreadsStayWholeAndKeepTheCallersLastError) {
  const std::string folder = win_test::UniqueFolder("runlog");
  const std::string path = folder + "\\Torvane.log";
  {
    run_log::Event("before_open").Add("dropped", true);
    run_log::LogFile log;
    ASSERT_TRUE(log.Open(path));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < 200; ++i)
          run_log::Event("step").Add("thread", t).Add("i", i).Add("pad", std::string(300, 'p'));
      });
    }
    for (std::thread& thread : threads) thread.join();
    // GBK text, an error's text, and GetLastError as the caller left it.
    SetLastError(1234);
    run_log::Event("text")
        .Add("gbk", "\xD6\xD0\xCE\xC4")
        .Add("wide", std::wstring(L"\u00e9"))
        .Error(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), 1234u);
  }
  run_log::Event("after_close").Add("dropped", true);

  const std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 801u);
  const std::regex step(
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\] step thread=[0-3] i=\d+ pad=p{300})");
  for (std::size_t i = 0; i < 800; ++i) EXPECT_TRUE(std::regex_match(lines[i], step)) << lines[i];
  // The system's text for the error follows, in the system's language.
  const std::string text = " text gbk=\xE4\xB8\xAD\xE6\x96\x87 wide=\xC3\xA9 error=2 error_text=";
  const std::size_t at = lines[800].find(text);
  EXPECT_NE(at, std::string::npos) << lines[800];
  EXPECT_GT(lines[800].size(), at + text.size() + 2) << lines[800];
  win_test::RemoveTree(folder);
}

TEST(RunLog, OpeningRotatesOnlyALogOverOneMebibyteAndSkipsAReadOnlyOne) {
  struct Case {
    std::size_t oldSize;
    bool readOnly;
    bool opened;
    bool rotated;
  };
  const Case cases[] = {
      {0, false, true, false},
      {1024 * 1024, false, true, false},
      {1024 * 1024 + 1, false, true, true},
      {10, true, false, false},
  };
  for (const Case& c : cases) {
    const std::string folder = win_test::UniqueFolder("runlog");
    const std::string path = folder + "\\Torvane.log";
    win_test::WriteBytes(path, std::string(c.oldSize, 'o'));
    win_test::WriteBytes(path + ".1", "older");
    if (c.readOnly) SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    {
      run_log::LogFile log;
      EXPECT_EQ(log.Open(path), c.opened) << c.oldSize;
      run_log::Event("start");
    }
    const std::string older = win_test::ReadBytes(path + ".1");
    EXPECT_EQ(older, c.rotated ? std::string(c.oldSize, 'o') : "older") << c.oldSize;
    const std::size_t kept = c.rotated ? 0 : c.oldSize;
    EXPECT_EQ(win_test::ReadBytes(path).size() > kept, c.opened) << c.oldSize;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    win_test::RemoveTree(folder);
  }
}
