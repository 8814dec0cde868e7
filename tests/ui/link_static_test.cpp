// The dialog's hyperlink: attached to control 1018 of the real dialog, or to a
// static of a window made here; clicks go through a stand-in for OpenLink.

#include <windows.h>
#include <commctrl.h>

#include <cstring>

#include "resource.h"
#include "ui_test_support.h"
#include "updater/ui/link_static.h"

namespace {

int g_openStatus = 42;
std::vector<std::string> g_opened;

int FakeOpen(const std::string& url, int show) {
  g_opened.push_back(url);
  EXPECT_EQ(show, SW_SHOW);
  return g_openStatus;
}

// The colour the link asks for, as its parent's colour request answers it.
struct Painted {
  COLORREF text;
  int mode;
  HBRUSH brush;
};

Painted Paint(HWND dialog, HWND link) {
  HDC dc = CreateCompatibleDC(nullptr);
  SetTextColor(dc, RGB(1, 2, 3));
  SetBkMode(dc, OPAQUE);
  const LRESULT brush = SendMessageA(dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                     reinterpret_cast<LPARAM>(link));
  Painted painted{GetTextColor(dc), GetBkMode(dc), reinterpret_cast<HBRUSH>(brush)};
  DeleteDC(dc);
  return painted;
}

std::string TooltipText(HWND tooltip, HWND tool) {
  char text[512] = "";
  TOOLINFOA ti{};
  ti.cbSize = TTTOOLINFOA_V1_SIZE;
  ti.hwnd = tool;
  ti.uId = 1;
  ti.lpszText = text;
  SendMessageA(tooltip, TTM_GETTEXTA, sizeof text, reinterpret_cast<LPARAM>(&ti));
  return text;
}

class LinkStaticTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    g_opened.clear();
    g_openStatus = 42;
    Make(1);
    link = Item(IDC_HOME_LINK);
    dialog->link().open = FakeOpen;
  }
  void Click() {
    SendMessageA(dialog->hwnd(), WM_COMMAND, MAKEWPARAM(IDC_HOME_LINK, STN_CLICKED),
                 reinterpret_cast<LPARAM>(link));
  }
  HWND link = nullptr;
};

TEST_F(LinkStaticTest, AttachTakesTheTextAsAddressUnderlinesAndFits) {
  LinkStatic& l = dialog->link();
  EXPECT_EQ(l.hwnd(), link);
  EXPECT_TRUE(GetWindowLongA(link, GWL_STYLE) & SS_NOTIFY);
  EXPECT_EQ(l.url(), "查看新版本功能改进");
  LOGFONTA lf{};
  GetObjectA(reinterpret_cast<HFONT>(SendMessageA(link, WM_GETFONT, 0, 0)), sizeof lf, &lf);
  EXPECT_TRUE(lf.lfUnderline);

  // The control is as large as its text in the link font.
  HDC dc = GetDC(link);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(link, WM_GETFONT, 0, 0)));
  const std::string text = WindowText(link);
  SIZE extent{};
  GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  SelectObject(dc, old);
  ReleaseDC(link, dc);
  RECT rc;
  GetClientRect(link, &rc);
  EXPECT_EQ(rc.right, extent.cx);
  EXPECT_EQ(rc.bottom, extent.cy);

  ASSERT_NE(l.tooltip(), nullptr);
  EXPECT_EQ(TooltipText(l.tooltip(), link), "查看新版本功能改进");
}

TEST_F(LinkStaticTest, NewAddressKeepsTheTextAndUpdatesTheTooltip) {
  RECT before;
  GetWindowRect(link, &before);
  dialog->link().SetLinkUrl("http://www.example.test/a/much/longer/address/than/before.html");
  EXPECT_EQ(WindowText(link), "查看新版本功能改进");
  EXPECT_EQ(TooltipText(dialog->link().tooltip(), link),
            "http://www.example.test/a/much/longer/address/than/before.html");
  RECT after;
  GetWindowRect(link, &after);
  EXPECT_EQ(after.right - after.left, before.right - before.left);
}

TEST_F(LinkStaticTest, ColoursFollowClicksAndThePointer) {
  Painted p = Paint(dialog->hwnd(), link);
  EXPECT_EQ(p.text, RGB(0, 0, 238));
  EXPECT_EQ(p.mode, TRANSPARENT);
  EXPECT_EQ(p.brush, static_cast<HBRUSH>(GetStockObject(NULL_BRUSH)));

  dialog->link().SetLinkUrl("http://www.example.test/");
  Click();
  ASSERT_EQ(g_opened, std::vector<std::string>{"http://www.example.test/"});
  EXPECT_TRUE(dialog->link().visited());
  EXPECT_EQ(Paint(dialog->hwnd(), link).text, RGB(85, 26, 139));
  EXPECT_TRUE(MessageBoxes().empty());

  // A failed second click reports the error and draws the link colour again.
  g_openStatus = 2;
  Click();
  EXPECT_FALSE(dialog->link().visited());
  EXPECT_EQ(Paint(dialog->hwnd(), link).text, RGB(0, 0, 238));
  ASSERT_EQ(MessageBoxes().size(), 1u);
  EXPECT_EQ(MessageBoxes()[0].text, "Unable to open hyperlink:\n\nThe specified file was not found.");
  EXPECT_EQ(MessageBoxes()[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONEXCLAMATION));

  // The pointer over the link captures the mouse and draws the hover colour;
  // leaving it releases both.
  SendMessageA(link, WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
  EXPECT_TRUE(dialog->link().pointerOver());
  EXPECT_EQ(GetCapture(), link);
  EXPECT_EQ(Paint(dialog->hwnd(), link).text, GetSysColor(COLOR_HIGHLIGHT));
  SendMessageA(link, WM_MOUSEMOVE, 0, MAKELPARAM(static_cast<WORD>(-5), static_cast<WORD>(-5)));
  EXPECT_FALSE(dialog->link().pointerOver());
  EXPECT_NE(GetCapture(), link);
  EXPECT_EQ(Paint(dialog->hwnd(), link).text, RGB(0, 0, 238));
}

TEST_F(LinkStaticTest, OtherStaticsKeepTheDialogColours) {
  const Painted p = Paint(dialog->hwnd(), Item(IDC_STATUS_TEXT));
  EXPECT_EQ(p.text, GetSysColor(COLOR_WINDOWTEXT));
  EXPECT_NE(p.brush, static_cast<HBRUSH>(GetStockObject(NULL_BRUSH)));
}

TEST_F(LinkStaticTest, UnlistedStatusIsReportedWithItsNumber) {
  // Statuses up to 32 are failures; 33 and above open the link.
  g_openStatus = 1;
  Click();
  ASSERT_EQ(MessageBoxes().size(), 1u);
  EXPECT_EQ(MessageBoxes()[0].text, "Unable to open hyperlink:\n\nUnknown Error (1) occurred.");
  g_openStatus = 26;
  Click();
  ASSERT_EQ(MessageBoxes().size(), 2u);
  EXPECT_EQ(MessageBoxes()[1].text, "Unable to open hyperlink:\n\nA sharing violation occurred. ");
}

TEST(LinkStaticAttach, AnEmptyControlShowsItsAddress) {
  HWND parent = CreateWindowExA(0, "Static", "", WS_POPUP, 0, 0, 300, 100, nullptr, nullptr, nullptr, nullptr);
  HWND control = CreateWindowExA(0, "Static", "", WS_CHILD | SS_RIGHT, 10, 10, 200, 30, parent, nullptr,
                                 nullptr, nullptr);
  {
    LinkStatic link;
    link.SetLinkUrl("http://www.example.test/");
    ASSERT_TRUE(link.Attach(control));
    EXPECT_EQ(WindowText(control), "http://www.example.test/");
    // Right-aligned: the right edge stays where it was.
    RECT rc;
    GetWindowRect(control, &rc);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rc), 2);
    EXPECT_EQ(rc.right, 210);
    EXPECT_LT(rc.left, 210);
  }
  DestroyWindow(parent);
}

}  // namespace

namespace {

TEST(ReadClassesRootValue, ReadsADefaultValueOrGivesTheRegistryError) {
  // The prefix registers ".htm", whose class names the browser's open command.
  char value[520] = "unchanged";
  ASSERT_EQ(ReadClassesRootValue(HKEY_CLASSES_ROOT, ".htm", value), ERROR_SUCCESS);
  EXPECT_GT(std::strlen(value), 0u);
  char command[520] = "";
  EXPECT_EQ(ReadClassesRootValue(HKEY_CLASSES_ROOT, (std::string(value) + "\\shell\\open\\command").c_str(),
                                 command),
            ERROR_SUCCESS);
  EXPECT_GT(std::strlen(command), 0u);

  char missing[520] = "unchanged";
  EXPECT_EQ(ReadClassesRootValue(HKEY_CLASSES_ROOT, ".no-such-extension-of-torvane", missing),
            ERROR_FILE_NOT_FOUND);
  EXPECT_STREQ(missing, "unchanged");
}

}  // namespace
