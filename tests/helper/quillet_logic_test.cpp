// Command-line parsing and window geometry of Quillet.
#include <gtest/gtest.h>

#include <string>

#include "helper/helper_mode.h"
#include "helper/skin_layout.h"

namespace quillet {
namespace {

struct CommandLineCase {
  const wchar_t* commandLine;
  const wchar_t* tail;
  HelperMode mode;
};

TEST(CommandTail, CutsTheProgramNameAsTheCRuntimeDoesAndGivesTheMode) {
  const CommandLineCase cases[] = {
      {L"Quillet.exe /Recommend", L"/Recommend", HelperMode::Recommend},
      {L"Quillet.exe   \t/Recommend", L"/Recommend", HelperMode::Recommend},
      {L"\"C:\\Program Files\\Mirelo\\Quillet.exe\" /ClearCookie", L"/ClearCookie", HelperMode::ClearCookie},
      // Quotes open and close anywhere in the name.
      {L"C:\\\"Program Files\"\\Mirelo\\Quillet.exe /Recommend", L"/Recommend", HelperMode::Recommend},
      {L"C:\\\"Program Files\\Mirelo\\Quillet.exe\" /ClearCookie", L"/ClearCookie", HelperMode::ClearCookie},
      {L"\"C:\\Program Files\"\\Mirelo\\\"Quillet.exe\" /WriteCookie", L"/WriteCookie", HelperMode::WriteCookie},
      {L"C:\\Pro\"gram Fi\"les\\Quillet.exe /Recommend", L"/Recommend", HelperMode::Recommend},
      {L"\"\" /Recommend", L"/Recommend", HelperMode::Recommend},
      // Every control character is a blank, before and after the tail's first word.
      {L"Quillet.exe\r\n\v/Recommend", L"/Recommend", HelperMode::Recommend},
      {L"Quillet.exe\x01/ClearCookie", L"/ClearCookie", HelperMode::ClearCookie},
      {L"Quillet.exe /Recommend\r", L"/Recommend\r", HelperMode::Unknown},
      {L"Quillet.exe /Recommend ", L"/Recommend ", HelperMode::Unknown},
      {L"Quillet.exe /Recommend x y", L"/Recommend x y", HelperMode::Unknown},
      // An unclosed quote makes the rest of the line the name.
      {L"\"C:\\unterminated quote /Recommend", L"", HelperMode::Unknown},
      {L"C:\\Program\" Files\\Quillet.exe /Recommend", L"", HelperMode::Unknown},
      // Only a blank outside quotes ends the name: not a closing quote, and not the end of a path.
      {L"\"C:\\Program Files\\Mirelo\\Quillet.exe\"/WriteCookie", L"", HelperMode::Unknown},
      {L"C:\\Program Files\\Quillet.exe /Recommend", L"Files\\Quillet.exe /Recommend", HelperMode::Unknown},
      {L"Quillet.exe", L"", HelperMode::Unknown},
      {L"Quillet.exe   ", L"", HelperMode::Unknown},
      {L"", L"", HelperMode::Unknown},
  };
  for (const CommandLineCase& c : cases) {
    const std::wstring tail = CommandTail(c.commandLine);
    EXPECT_EQ(tail, std::wstring(c.tail)) << "line: " << testing::PrintToString(std::wstring(c.commandLine));
    EXPECT_EQ(ParseHelperMode(tail), c.mode) << "line: " << testing::PrintToString(std::wstring(c.commandLine));
  }
}

TEST(CommandTail, EndsAtTheFirstNulAsTheCStringDoes) {
  EXPECT_EQ(CommandTail(std::wstring(L"Quillet.exe /Recommend\0 x", 26)), L"/Recommend");
  EXPECT_EQ(CommandTail(std::wstring(L"Quillet\0.exe /Recommend", 24)), L"");
}

struct ModeCase {
  const wchar_t* text;
  HelperMode mode;
};

TEST(ParseHelperMode, ComparesTheWholeTextIgnoringCaseOfLatinLetters) {
  const ModeCase cases[] = {
      {L"/Recommend", HelperMode::Recommend},
      {L"/recommend", HelperMode::Recommend},
      {L"/RECOMMEND", HelperMode::Recommend},
      {L"/WriteCookie", HelperMode::WriteCookie},
      {L"/writecookie", HelperMode::WriteCookie},
      {L"/CLEARCOOKIE", HelperMode::ClearCookie},
      {L"/ClearCookie", HelperMode::ClearCookie},
      {L"/Recommend ", HelperMode::Unknown},
      {L"/Recommend x", HelperMode::Unknown},
      {L" /Recommend", HelperMode::Unknown},
      {L"/Recommen", HelperMode::Unknown},
      {L"/Recommendx", HelperMode::Unknown},
      {L"Recommend", HelperMode::Unknown},
      {L"", HelperMode::Unknown},
      // Only A-Z fold: letters that a full Unicode case fold maps onto Latin ones do not.
      {L"/\xFF32\x65\x63ommend", HelperMode::Unknown},  // fullwidth R
      {L"/Wr\x0131teCookie", HelperMode::Unknown},      // dotless i
      {L"/ClearCoo\x212Aie", HelperMode::Unknown},      // Kelvin sign
  };
  for (const ModeCase& c : cases) {
    EXPECT_EQ(ParseHelperMode(c.text), c.mode) << testing::PrintToString(std::wstring(c.text));
  }
}

TEST(ParseHelperMode, EmbeddedNulIsNotTheEndOfTheText) {
  EXPECT_EQ(ParseHelperMode(std::wstring(L"/Recommend\0x", 12)), HelperMode::Unknown);
}

struct HitCase {
  int x, y, code;
};

TEST(HitTestButton, IncludesBothEdgesOfEachRectangle) {
  const HitCase cases[] = {
      {521, 3, kRefreshButton},   {545, 23, kRefreshButton}, {533, 13, kRefreshButton}, {546, 3, kMinimiseButton},
      {570, 23, kMinimiseButton}, {571, 3, kCloseButton},    {595, 23, kCloseButton},   {520, 13, kNoButton},
      {596, 13, kNoButton},       {533, 2, kNoButton},       {533, 24, kNoButton},      {0, 0, kNoButton},
      {300, 200, kNoButton},      {-1, -1, kNoButton},       {599, 449, kNoButton},
  };
  for (const HitCase& c : cases) {
    EXPECT_EQ(HitTestButton(c.x, c.y), c.code) << c.x << "," << c.y;
  }
}

TEST(CaptionButtons, TouchWithoutGapAndHoldTheirPictures) {
  for (std::size_t i = 0; i < kCaptionButtons.size(); ++i) {
    const CaptionButton& b = kCaptionButtons[i];
    EXPECT_EQ(b.hit.right - b.hit.left, 24);
    EXPECT_EQ(b.hit.bottom - b.hit.top, 20);
    EXPECT_EQ(b.pictureX, b.hit.left);
    EXPECT_EQ(b.pictureY, b.hit.top);
    EXPECT_LE(b.hit.bottom, kDragStripBottom);
    if (i > 0) {
      EXPECT_EQ(b.hit.left, kCaptionButtons[i - 1].hit.right + 1);
    }
  }
}

TEST(SkinPictureIndex, PicksTheHighlightOnlyForTheButtonUnderThePointer) {
  const int hovers[] = {kNoButton, kRefreshButton, kMinimiseButton, kCloseButton};
  for (int hover : hovers) {
    for (int i = 0; i < 3; ++i) {
      const int index = SkinPictureIndex(i, hover);
      const bool lit = hover == kCaptionButtons[i].code;
      EXPECT_EQ(index, lit ? 2 + 2 * i : 1 + 2 * i);
      // The highlighted picture's id is the button code.
      if (lit) {
        EXPECT_EQ(kSkinPictureIds[index], hover);
      }
    }
  }
}

TEST(BrowserRects, HostCoversTheTransparentBodyAndBrowserIsClipped) {
  EXPECT_EQ(kBodyRect.left, 2);
  EXPECT_EQ(kBodyRect.top, kDragStripBottom);
  EXPECT_EQ(kBodyRect.right, kWindowWidth - 2);
  EXPECT_EQ(kBodyRect.bottom, kWindowHeight - 2);

  const SkinRect object = BrowserObjectRect({0, 0, kWindowWidth, kWindowHeight});
  EXPECT_EQ(object.left, 0);
  EXPECT_EQ(object.top, 0);
  EXPECT_EQ(object.right, 620);
  EXPECT_EQ(object.bottom, 520);
}

}  // namespace
}  // namespace quillet
