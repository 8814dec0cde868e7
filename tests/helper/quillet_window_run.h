#pragma once
// What the recommendation window's tests need around a run of Quillet.exe
// /Recommend: the run and its main window, the stand-in controls' log, and the
// screen read back against the skin's pictures.
#include <gtest/gtest.h>

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "helper/gdiplus_owners.h"
#include "helper/scoped_handle.h"

namespace window_test {

using quillet::UniqueHandle;

inline constexpr wchar_t kMainWindowClass[] = L"254A67D0-9970-4856-B773-E2A99F85B19D";
inline constexpr DWORD kWaitMs = 10000;

inline std::wstring Env(const wchar_t* name) {
  wchar_t value[1024];
  const DWORD n = GetEnvironmentVariableW(name, value, 1024);
  return (n > 0 && n < 1024) ? std::wstring(value, n) : std::wstring();
}

// Polls `condition` until it holds or `ms` pass: the events awaited here
// (a window appearing, a repaint reaching the screen, a log line) have no
// other signal that crosses the process boundary.
inline bool WaitFor(const std::function<bool()>& condition, DWORD ms = kWaitMs) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (!condition()) {
    if (GetTickCount64() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline std::vector<std::string> LogLines() {
  std::vector<std::string> lines;
  std::ifstream in(Env(L"QUILLET_TEST_LOG").c_str());
  for (std::string line; std::getline(in, line);) {
    // "<pid> <ms> <event>": keep the event.
    const size_t first = line.find(' ');
    const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second != std::string::npos) lines.push_back(line.substr(second + 1));
  }
  return lines;
}

inline int CountLines(const std::string& prefix) {
  int n = 0;
  for (const std::string& line : LogLines()) n += line.compare(0, prefix.size(), prefix) == 0;
  return n;
}

struct Rgb {
  int r, g, b;
};

// A picture of the skin as the files hold it.
class Picture {
 public:
  explicit Picture(const std::wstring& name) {
    const std::wstring path = Env(L"MIRELO_SOURCE_DIR") + L"\\helper\\res\\" + name;
    Gdiplus::GpBitmap* bitmap = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromFile(path.c_str(), &bitmap) == Gdiplus::Ok) image_.reset(bitmap);
  }
  bool Loaded() const { return static_cast<bool>(image_); }
  Rgb At(int x, int y) const {
    Gdiplus::ARGB argb = 0;
    Gdiplus::DllExports::GdipBitmapGetPixel(static_cast<Gdiplus::GpBitmap*>(image_.get()), x, y, &argb);
    return {int((argb >> 16) & 0xFF), int((argb >> 8) & 0xFF), int(argb & 0xFF)};
  }

 private:
  quillet::UniqueGdiplusImage image_;  // a bitmap
};

// What the screen shows at the client point (x, y) of `window`.
inline Rgb ScreenAt(HWND window, int x, int y) {
  POINT p = {x, y};
  ClientToScreen(window, &p);
  const quillet::WindowDc screen(nullptr);
  const COLORREF c = GetPixel(screen.get(), p.x, p.y);
  return {GetRValue(c), GetGValue(c), GetBValue(c)};
}

inline bool Near(const Rgb& a, const Rgb& b) {
  return std::abs(a.r - b.r) <= 3 && std::abs(a.g - b.g) <= 3 && std::abs(a.b - b.b) <= 3;
}

// A copy of what the screen shows over a client rectangle of a window, taken
// in one piece (a pixel-by-pixel read costs a round trip to X each).
class ScreenCopy {
 public:
  ScreenCopy(HWND window, int left, int top, int width, int height) : left_(left), top_(top), width_(width) {
    POINT origin = {left, top};
    ClientToScreen(window, &origin);
    pixels_.resize(static_cast<size_t>(width) * height);
    const quillet::WindowDc screen(nullptr);
    const quillet::UniqueMemoryDc memory(CreateCompatibleDC(screen.get()));
    const quillet::UniqueGdiObject bitmap(CreateCompatibleBitmap(screen.get(), width, height));
    HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
    BitBlt(memory.get(), 0, 0, width, height, screen.get(), origin.x, origin.y, SRCCOPY);
    SelectObject(memory.get(), old);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    GetDIBits(memory.get(), static_cast<HBITMAP>(bitmap.get()), 0, height, pixels_.data(), &info, DIB_RGB_COLORS);
  }

  // The pixel at client point (x, y).
  Rgb At(int x, int y) const {
    const DWORD bgra = pixels_[static_cast<size_t>(y - top_) * width_ + (x - left_)];
    return {int((bgra >> 16) & 0xFF), int((bgra >> 8) & 0xFF), int(bgra & 0xFF)};
  }

 private:
  int left_, top_, width_;
  std::vector<DWORD> pixels_;
};

// The number of pixels of a 24 x 20 button at (left, top) that differ from
// `picture`. The first row and column are left out: Wine's GDI+ samples them
// half a pixel outside the picture and leaves them undrawn.
inline int Mismatches(const ScreenCopy& screen, int left, int top, const Picture& picture) {
  int bad = 0;
  for (int y = 1; y < 20; ++y)
    for (int x = 1; x < 24; ++x) bad += !Near(screen.At(left + x, top + y), picture.At(x, y));
  return bad;
}

// One run of Quillet.exe /Recommend and its main window.
class QuilletRun {
 public:
  // Starts the run and waits until its window shows.
  void Start() {
    DeleteFileW(Env(L"QUILLET_TEST_LOG").c_str());
    std::wstring command = L"\"" + Env(L"QUILLET_EXE") + L"\" /Recommend";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &created))
        << "cannot start " << testing::PrintToString(command);
    const UniqueHandle thread(created.hThread);  // not needed
    process_.reset(created.hProcess);
    processId_ = created.dwProcessId;
    const ULONGLONG started = GetTickCount64();
    ASSERT_TRUE(WaitFor([this] {
      window_ = FindWindowW(kMainWindowClass, nullptr);
      DWORD owner = 0;
      if (window_) GetWindowThreadProcessId(window_, &owner);
      return window_ && owner == processId_ && IsWindowVisible(window_);
    })) << "no visible main window";
    std::printf("window shown %llu ms after start\n", GetTickCount64() - started);
  }

  // Closes the window if it is still open, checks the exit code, and that
  // the run let go of everything (see the stand-in controls' log).
  void Stop() {
    if (!process_) return;
    const ULONGLONG closing = GetTickCount64();
    if (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) PostMessageW(window_, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process_.get(), kWaitMs) != WAIT_OBJECT_0) {
      TerminateProcess(process_.get(), 1);
      ADD_FAILURE() << "Quillet did not end after WM_CLOSE";
    } else {
      DWORD code = 1;
      GetExitCodeProcess(process_.get(), &code);
      EXPECT_EQ(code, 0u);
      std::printf("ended %llu ms after WM_CLOSE\n", GetTickCount64() - closing);
      EXPECT_EQ(CountLines("browser.Destroyed"), 1);
      EXPECT_EQ(CountLines("browser.InPlaceObjectFreedDuringCall"), 0);
      EXPECT_EQ(CountLines("dll.Detach objects=0 hostrefs=0 mainwindows=0"), 1);
    }
    process_.reset();
  }

  bool Ended(DWORD ms) { return WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0; }
  HWND Window() const { return window_; }

 private:
  UniqueHandle process_;
  DWORD processId_ = 0;
  HWND window_ = nullptr;
};

}  // namespace window_test
