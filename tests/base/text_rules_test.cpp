#include "updater/base/text_rules.h"

#include <gtest/gtest.h>

#include <climits>

TEST(AtoiText, ReadsLikeTheCLibrary) {
  struct Case { const char* text; int32_t value; };
  const Case cases[] = {
      {"300", 300},   {"  42", 42},      {"\t-7x", -7},         {"+15", 15},
      {"abc", 0},     {"", 0},           {"12 34", 12},         {"- 5", 0},
      {"0300", 300},  {"2147483647", INT32_MAX},                {"-2147483648", INT32_MIN},
      {"99999999999999999999", INT32_MAX},                      {"-99999999999999999999", INT32_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(AtoiText(c.text), c.value) << '"' << c.text << '"';
}

TEST(MultibyteText, LastSeparatorSkipsTrailBytes) {
  // 0x81 0x5C is one double-byte character whose trail byte equals '\\'.
  const std::string path = std::string("\\dir\\a") + "\x81\x5c" + "b";
  EXPECT_EQ(FindLastSingleByte(path, '\\'), 4u);
  EXPECT_EQ(FindLastSingleByte("\\codec\\b.ocx", '\\'), 6u);
  EXPECT_EQ(FindLastSingleByte("no-separator", '\\'), std::string::npos);
  EXPECT_EQ(FindLastSingleByte(std::string("x.") + "\x81\x2e", '.'), 1u);
}

TEST(MultibyteText, CaseIsIgnoredForAsciiLettersOnly) {
  EXPECT_TRUE(EqualsIgnoreAsciiCaseMb("d41d8cd98f00b204", "D41D8CD98F00B204"));
  EXPECT_FALSE(EqualsIgnoreAsciiCaseMb("abc", "abcd"));
  EXPECT_FALSE(EqualsIgnoreAsciiCaseMb("ab ", "ab_"));
  // A double-byte character is compared whole, even where its trail byte is a letter.
  EXPECT_FALSE(EqualsIgnoreAsciiCaseMb("\x81\x61", "\x81\x41"));
  EXPECT_TRUE(EqualsIgnoreAsciiCaseMb("\x81\x61z", "\x81\x61Z"));
}
