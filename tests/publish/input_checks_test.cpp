// The publisher tool's checks of its input: the base URL, and file names
// folded as Windows compares them, in UTF-8 and in GBK.

#include <cstddef>
#include <string>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "tools/publish/gbk_text.h"
#include "tools/publish/input_checks.h"
#include "updater/base/file_name_case.h"
#include "tests/publish/publish_test_files.h"


namespace publish {
namespace {

TEST(InputChecksTest, BaseUrlNeedsAHostAndNoQueryOrFragment) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://updates.example.com/", ""},
      {"https://h:8443/a/b", ""},
      {"http:///u", "no host"},
      {"http://", "parse"},
      {"ftp://h/", "http or https"},
      {"http://h/u?x=1", "query"},
      {"http://h/u#top", "fragment"},
      {"http://user@h/", "user name"},
  };
  for (const auto& [url, words] : cases) {
    const std::string problem = BaseUrlProblem(url);
    if (*words == '\0') {
      EXPECT_EQ(problem, "") << url;
    } else {
      EXPECT_NE(problem.find(words), std::string::npos) << url << ": " << problem;
    }
  }
}

TEST(FileNameCaseTest, NamesFoldAsWindowsComparesThem) {
  // (name, other spelling, one file on Windows)
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"Halvix.exe", "HALVIX.EXE", true},
      {"\xEF\xBC\xA1.txt", "\xEF\xBD\x81.txt", true},      // fullwidth A / a
      {"\xD0\x94.txt", "\xD0\xB4.txt", true},                // Cyrillic De
      {"\xCE\xA3.dll", "\xCF\x83.dll", true},                // Sigma / sigma
      {"\xCE\xA3.dll", "\xCF\x82.dll", true},                // Sigma / final sigma
      {"\xC3\x9F.txt", "SS.txt", false},                     // sharp s has no one-unit capital
      {"\xC4\xB1.txt", "I.txt", false},                      // dotless i stays
      {"\xC5\xBF.txt", "S.txt", false},                      // long s stays
      {"\xE1\x83\x90.txt", "\xE1\xB2\x90.txt", false},      // Georgian: no capital in the table
      {"\xF0\x90\x90\xA8.txt", "\xF0\x90\x90\x80.txt", false},  // outside the BMP: no case
      {"\xE4\xB8\xAD.txt", "\xE4\xB8\xAD.TXT", true},
      {"a\xFF.txt", "A\xFF.txt", true},                      // not UTF-8: bytes kept
  };
  for (const auto& [name, other, same] : cases) {
    EXPECT_EQ(file_name_case::FoldUtf8(name) == file_name_case::FoldUtf8(other), same) << name << " " << other;
  }
  EXPECT_EQ(file_name_case::Fold(u"abc\u00E9\u03C3"), u"ABC\u00C9\u03A3");
}

// The updater folds GBK names without decoding them; every double-byte
// character must fold as its Unicode form does, wherever the capital is in GBK.
TEST(FileNameCaseTest, GbkNamesFoldAsTheirUnicodeForms) {
  std::size_t cased = 0;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      if (trail == 0x7F) continue;
      const std::string code{static_cast<char>(lead), static_cast<char>(trail)};
      const std::string utf8 = GbkForDisplay(code);
      if (utf8.find("\\x") != std::string::npos) continue;  // not a character
      const auto capital = Utf8ToGbk(file_name_case::FoldUtf8(utf8));
      const std::string expected = capital ? *capital : code;
      EXPECT_EQ(file_name_case::FoldGbk(code), expected) << std::hex << lead << " " << trail;
      cased += expected != code;
    }
  }
  EXPECT_GE(cased, 90u);  // the loop did meet the cased rows
  EXPECT_EQ(file_name_case::FoldGbk("\\Bin\\halvix.exe"), "\\BIN\\HALVIX.EXE");
}

}  // namespace
}  // namespace publish
