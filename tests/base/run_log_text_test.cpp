#include "updater/base/run_log_text.h"

#include <gtest/gtest.h>

TEST(RunLogText, LineStartIsUtcWithMillisecondsAndThread) {
  EXPECT_EQ(run_log::LineStart({2026, 1, 2, 3, 4, 5, 7}, 42, "start"), "2026-01-02T03:04:05.007Z [42] start");
  EXPECT_EQ(run_log::LineStart({1999, 12, 31, 23, 59, 59, 999}, 4294967295u, "x"),
            "1999-12-31T23:59:59.999Z [4294967295] x");
}

TEST(RunLogText, FieldsStayOnOneLineAndSplitUnambiguously) {
  struct Case {
    std::string value;
    std::string field;
  };
  const Case cases[] = {
      {"200", " k=200"},
      {"", " k=\"\""},
      {"C:\\client dir\\a.dll", " k=\"C:\\client dir\\a.dll\""},
      {"C:\\client\\a.dll", " k=C:\\client\\a.dll"},
      {"http://h/a?x=1", " k=\"http://h/a?x=1\""},
      {"say \"hi\"", " k=\"say \\x22hi\\x22\""},
      {"a\r\nb\tc\x7f", " k=a\\x0D\\x0Ab\\x09c\\x7F"},
      {std::string("nul\0x", 5), " k=nul\\x00x"},
      {"\xE4\xB8\xAD\xE6\x96\x87", " k=\xE4\xB8\xAD\xE6\x96\x87"},
  };
  for (const Case& c : cases) {
    std::string line;
    run_log::AppendField(line, "k", c.value);
    EXPECT_EQ(line, c.field) << c.value;
  }
}

TEST(RunLogText, LongValuesAreCutBetweenCharacters) {
  // 'a' then three-byte characters: the limit falls inside one of them.
  std::string value = "a";
  while (value.size() < run_log::kMaxValueBytes + 10) value += "\xE4\xB8\xAD";
  std::string line;
  run_log::AppendField(line, "k", value);
  ASSERT_GT(line.size(), 6u);
  EXPECT_EQ(line.substr(line.size() - 3), "...");
  const std::string kept = line.substr(3, line.size() - 6);
  EXPECT_LE(kept.size(), run_log::kMaxValueBytes);
  EXPECT_EQ((kept.size() - 1) % 3, 0u);
  EXPECT_EQ(value.compare(0, kept.size(), kept), 0);
}

TEST(RunLogText, Utf16BecomesUtf8) {
  struct Case {
    std::u16string text;
    std::string utf8;
  };
  const Case cases[] = {
      {u"/Recommend", "/Recommend"},
      {u"\u00e9\u4e2d", "\xC3\xA9\xE4\xB8\xAD"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {std::u16string(1, char16_t(0xD83D)) + u"x", "\xEF\xBF\xBDx"},
      {std::u16string(1, char16_t(0xDE00)), "\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) EXPECT_EQ(run_log::Utf16ToUtf8(c.text), c.utf8);
}

TEST(RunLogText, OnlyALogOverOneMebibyteIsRotated) {
  EXPECT_FALSE(run_log::RotationDue(0));
  EXPECT_FALSE(run_log::RotationDue(1024 * 1024));
  EXPECT_TRUE(run_log::RotationDue(1024 * 1024 + 1));
  EXPECT_EQ(run_log::RotatedPath("C:\\c\\Torvane.log"), "C:\\c\\Torvane.log.1");
}
