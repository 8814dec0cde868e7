// The recommendation window as a user meets it: hit tests, the caption strip,
// maximise requests, the hover highlight read back from the screen, and the
// three caption buttons. Each test starts Quillet.exe /Recommend (from
// QUILLET_EXE) with the stand-in browser registered, so the browser's calls are
// in the log file named by QUILLET_TEST_LOG. The skin's pictures are compared
// with the PNG files under MIRELO_SOURCE_DIR/helper/res.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "helper/gdiplus_owners.h"
#include "tests/helper/quillet_window_run.h"

namespace window_test {
namespace {

LPARAM ClientLParam(int x, int y) { return MAKELPARAM(x, y); }

LPARAM ScreenLParam(HWND window, int x, int y) {
  POINT p = {x, y};
  ClientToScreen(window, &p);
  return MAKELPARAM(p.x, p.y);
}

// Checks shared by the fixtures below.
class WindowChecks {
 protected:
  virtual HWND Window() = 0;
  virtual ~WindowChecks() = default;

  LRESULT HitTest(int x, int y) { return SendMessageW(Window(), WM_NCHITTEST, 0, ScreenLParam(Window(), x, y)); }

  // Waits until the three buttons show the given pictures.
  bool ButtonsShow(const Picture& refresh, const Picture& minimise, const Picture& close) {
    return WaitFor(
        [&] {
          const ScreenCopy screen(Window(), 521, 3, 75, 20);
          return Mismatches(screen, 521, 3, refresh) == 0 && Mismatches(screen, 546, 3, minimise) == 0 &&
                 Mismatches(screen, 571, 3, close) == 0;
        },
        3000);
  }
};

// Tests that leave the window as they found it share one run.
class RecommendWindowShared : public testing::Test, protected WindowChecks {
 protected:
  static void SetUpTestSuite() {
    run_ = new QuilletRun;
    run_->Start();
  }
  static void TearDownTestSuite() {
    run_->Stop();
    delete run_;
    run_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(run_->Window() && !run_->Ended(0)) << "the shared run is gone"; }
  HWND Window() override { return run_->Window(); }

  static QuilletRun* run_;
};
QuilletRun* RecommendWindowShared::run_ = nullptr;

// Tests that act on the window get a run of their own.
class RecommendWindow : public testing::Test, protected WindowChecks {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(run_.Start()); }
  void TearDown() override { run_.Stop(); }
  HWND Window() override { return run_.Window(); }
  bool Ended(DWORD ms) { return run_.Ended(ms); }

  QuilletRun run_;
};

TEST_F(RecommendWindowShared, HasNoCaptionAndIsCentred) {
  EXPECT_EQ(GetWindowLongW(Window(), GWL_STYLE) & (WS_BORDER | WS_DLGFRAME), 0);
  RECT client, frame;
  GetClientRect(Window(), &client);
  GetWindowRect(Window(), &frame);
  EXPECT_EQ(client.right, 600);
  EXPECT_EQ(client.bottom, 450);
  EXPECT_EQ(frame.left, (GetSystemMetrics(SM_CXSCREEN) - 600) / 2);
  EXPECT_EQ(frame.top, (GetSystemMetrics(SM_CYSCREEN) - 450) / 2);
  wchar_t title[32] = L"";
  GetWindowTextW(Window(), title, 32);
  EXPECT_STREQ(title, L"推荐影视");
}

TEST_F(RecommendWindowShared, PaintsTheSkinAroundTheBody) {
  Picture frame(L"frame.png"), refresh(L"refresh.png"), minimise(L"minimise.png"), close(L"close.png");
  ASSERT_TRUE(frame.Loaded());
  // The outer edge, the inner black line, the caption strip and its lower line.
  const POINT samples[] = {{300, 0}, {0, 200}, {599, 449}, {300, 1}, {1, 200}, {300, 12}, {100, 26}, {10, 12}};
  for (const POINT& p : samples) {
    EXPECT_TRUE(WaitFor([&] { return Near(ScreenAt(Window(), p.x, p.y), frame.At(p.x, p.y)); }, 3000))
        << "at " << p.x << "," << p.y;
  }
  EXPECT_TRUE(ButtonsShow(refresh, minimise, close));
}

TEST_F(RecommendWindowShared, HitTestsTheButtonsAsClientAndTheStripAsCaption) {
  struct Case {
    int x, y;
    LRESULT hit;
  } cases[] = {
      {521, 3, HTCLIENT},   {545, 23, HTCLIENT},  {546, 3, HTCLIENT},  {595, 23, HTCLIENT},
      {520, 10, HTCAPTION}, {596, 10, HTCAPTION}, {300, 0, HTCAPTION}, {300, 27, HTCAPTION},
      {533, 24, HTCAPTION}, {300, 28, HTCLIENT},  {10, 200, HTCLIENT},
  };
  for (const Case& c : cases) EXPECT_EQ(HitTest(c.x, c.y), c.hit) << c.x << "," << c.y;
}

TEST_F(RecommendWindowShared, CannotBeMaximised) {
  RECT before, after;
  GetWindowRect(Window(), &before);
  SendMessageW(Window(), WM_SYSCOMMAND, SC_MAXIMIZE, 0);
  EXPECT_FALSE(IsZoomed(Window()));
  SendMessageW(Window(), WM_NCLBUTTONDBLCLK, HTCAPTION, ScreenLParam(Window(), 300, 10));
  EXPECT_FALSE(IsZoomed(Window()));
  GetWindowRect(Window(), &after);
  EXPECT_TRUE(EqualRect(&before, &after));
}

TEST_F(RecommendWindowShared, HighlightFollowsThePointer) {
  Picture refresh(L"refresh.png"), refreshLit(L"refresh-lit.png"), minimise(L"minimise.png"),
      minimiseLit(L"minimise-lit.png"), close(L"close.png"), closeLit(L"close-lit.png");
  ASSERT_TRUE(refresh.Loaded() && closeLit.Loaded());
  ASSERT_TRUE(ButtonsShow(refresh, minimise, close));

  SendMessageW(Window(), WM_MOUSEMOVE, 0, ClientLParam(533, 13));
  EXPECT_TRUE(ButtonsShow(refreshLit, minimise, close)) << "refresh lit";
  // Straight from one button onto the next: one message swaps both.
  SendMessageW(Window(), WM_MOUSEMOVE, 0, ClientLParam(546, 13));
  EXPECT_TRUE(ButtonsShow(refresh, minimiseLit, close)) << "minimise lit";
  SendMessageW(Window(), WM_MOUSEMOVE, 0, ClientLParam(595, 23));
  EXPECT_TRUE(ButtonsShow(refresh, minimise, closeLit)) << "close lit";
  // Onto the drag strip: the window sees a non-client hit test, and the highlight goes.
  EXPECT_EQ(HitTest(300, 10), HTCAPTION);
  EXPECT_TRUE(ButtonsShow(refresh, minimise, close)) << "none lit";
}

// Presses the left button at client point (x, y), moves the pointer by
// (dx, dy) in steps and releases it, all as real input.
void DragWithMouse(HWND window, int x, int y, int dx, int dy) {
  POINT p = {x, y};
  ClientToScreen(window, &p);
  SetCursorPos(p.x, p.y);
  INPUT input = {};
  input.type = INPUT_MOUSE;
  input.mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  SendInput(1, &input, sizeof input);
  for (int step = 1; step <= 4; ++step) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SetCursorPos(p.x + dx * step / 4, p.y + dy * step / 4);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  input.mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(1, &input, sizeof input);
}

TEST_F(RecommendWindow, DragsByTheStripDownToRow27Only) {
  RECT before, after;
  GetWindowRect(Window(), &before);
  // Column 1 is outside the browser's host, so these rows belong to the window itself.
  DragWithMouse(Window(), 1, 28, 40, 30);
  EXPECT_FALSE(WaitFor(
      [&] {
        GetWindowRect(Window(), &after);
        return !EqualRect(&before, &after);
      },
      500))
      << "row 28 is not part of the strip";
  DragWithMouse(Window(), 1, 27, 40, 30);
  EXPECT_TRUE(WaitFor([&] {
    GetWindowRect(Window(), &after);
    return after.left == before.left + 40 && after.top == before.top + 30;
  })) << "moved to "
      << after.left << "," << after.top << " from " << before.left << "," << before.top;
  // A button-up that the X server delivers before the system's move loop
  // starts waiting for it leaves the loop running, and it would hold the
  // close below. The window has moved, so the loop has begun: give it the
  // button-up it waits for (on the strip, where it presses nothing) for as
  // long as the window's thread is still in it.
  PostMessageW(Window(), WM_CANCELMODE, 0, 0);
  const DWORD thread = GetWindowThreadProcessId(Window(), nullptr);
  EXPECT_TRUE(WaitFor([&] {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(thread, &info) || !(info.flags & GUI_INMOVESIZE)) return true;
    PostMessageW(Window(), WM_LBUTTONUP, 0, MAKELPARAM(1, 27));
    return false;
  })) << "the move loop did not end";
}

TEST_F(RecommendWindow, RefreshNavigatesAgainAndStaysOpen) {
  ASSERT_TRUE(WaitFor([] { return CountLines("browser.Navigate2 ") == 1; }));
  // Released one pixel outside the refresh picture, still inside its rectangle.
  PostMessageW(Window(), WM_LBUTTONUP, 0, ClientLParam(545, 23));
  ASSERT_TRUE(WaitFor([] { return CountLines("browser.Quit") == 1; }));
  const std::vector<std::string> lines = LogLines();
  std::vector<std::string> tail;
  for (const std::string& line : lines)
    if (line.rfind("browser.Navigate2 ", 0) == 0 || line == "browser.Quit") tail.push_back(line);
  ASSERT_EQ(tail.size(), 3u);
  EXPECT_EQ(tail[1], tail[0]) << "the same navigation again";
  EXPECT_EQ(tail[2], "browser.Quit");
  EXPECT_FALSE(Ended(200));
  EXPECT_FALSE(IsIconic(Window()));
}

TEST_F(RecommendWindow, MinimiseButtonStartsAtItsLeftEdge) {
  PostMessageW(Window(), WM_LBUTTONUP, 0, ClientLParam(546, 23));
  EXPECT_TRUE(WaitFor([this] { return IsIconic(Window()) != FALSE; }));
  EXPECT_EQ(CountLines("browser.Quit"), 0);
}

TEST_F(RecommendWindow, ReleaseOverCloseClosesWhereverThePressBegan) {
  SendMessageW(Window(), WM_LBUTTONDOWN, MK_LBUTTON, ClientLParam(558, 13));
  PostMessageW(Window(), WM_LBUTTONUP, 0, ClientLParam(583, 13));
  ASSERT_TRUE(Ended(kWaitMs));
  EXPECT_EQ(CountLines("browser.Quit"), 0);
}

}  // namespace
}  // namespace window_test

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const quillet::GdiplusSession gdiplus(true);
  return RUN_ALL_TESTS();
}
