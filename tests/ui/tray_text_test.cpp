#include "updater/ui/tray_text.h"

#include <gtest/gtest.h>

namespace {

TEST(PromptText, ForcedModeNamesTheFiveSecondsCommonModeOffersToIgnore) {
  EXPECT_EQ(PromptText(true), "Mirelo发现重要可用更新，5 秒之后将自动更新(单击立即开始更新)...");
  EXPECT_EQ(PromptText(false), "Mirelo发现可用更新，单击立即开始更新,点击关闭忽略此更新...");
  EXPECT_EQ(PromptTitle(), "更新提示");
}

TEST(ResultTexts, NameTheVersionOrTheDownloadPage) {
  EXPECT_EQ(SuccessText("2.1.0.7"), "Mirelo已升级到最新版本(2.1.0.7)，升级程序将自动重启Mirelo客户端...");
  EXPECT_EQ(SuccessText(""), "Mirelo已升级到最新版本()，升级程序将自动重启Mirelo客户端...");
  EXPECT_EQ(FailureText(true, "http://example.test/dl"), "您可以手动从 http://example.test/dl 下载...");
  // Without listed files the page is not named, even when known.
  EXPECT_EQ(FailureText(false, "http://example.test/dl"),
            "未发现需要更新的文件，请确认您当前安装的版本是通过Mirelo官网下载的版本...");
}

struct CutCase {
  const char* text;
  std::size_t max;
  const char* cut;
};

// Code page 936 bytes: "\xb8\xfc\xd0\xc2" is two characters.
const CutCase kCutCases[] = {
    {"abcdef", 4, "abcd"},
    {"abc", 4, "abc"},
    {"", 4, ""},
    {"a\xb8\xfc\xd0\xc2", 3, "a\xb8\xfc"},
    // The limit falls inside a character: the whole character goes.
    {"a\xb8\xfc\xd0\xc2", 4, "a\xb8\xfc"},
    {"a\xb8\xfc\xd0\xc2", 5, "a\xb8\xfc\xd0\xc2"},
    {"\xb8\xfc", 1, ""},
    // A lone lead byte at the end counts as one byte.
    {"ab\xb8", 3, "ab\xb8"},
};

TEST(CutMultibyte, NeverSplitsADoubleByteCharacter) {
  for (const auto& c : kCutCases) {
    EXPECT_EQ(CutMultibyte(c.text, c.max), c.cut) << c.text << " / " << c.max;
  }
  const std::string longText(300, 'x');
  EXPECT_EQ(CutMultibyte(longText, kBalloonTextMax).size(), 255u);
  std::string wide;
  for (int i = 0; i < 200; ++i) wide += "\xb8\xfc";
  EXPECT_EQ(CutMultibyte(wide, kBalloonTextMax).size(), 254u);
  EXPECT_EQ(CutMultibyte(wide, kBalloonTitleMax).size(), 62u);
}

}  // namespace
