// Quillet's process-wide state. It lives in the entry (RunHelper) for the whole
// run; the main window carries a pointer to it in its user data, so the window
// procedure and the timer routine reach it through their window handle.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <exdisp.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "helper/helper_mode.h"
#include "helper/skin_layout.h"

namespace quillet {

// The web host of the recommendation page and of the cookie movie is a setting
// of the build.
#ifndef QUILLET_WEB_HOST
#define QUILLET_WEB_HOST "www.mirelo.com"
#endif
constexpr wchar_t kRecommendUrl[] = L"http://" QUILLET_WEB_HOST L"/s2010/p2ptc/";
constexpr wchar_t kCookieMovieUrl[] = L"http://" QUILLET_WEB_HOST L"/upload/swf/p2p/fc.swf";

constexpr wchar_t kMainWindowClass[] = L"254A67D0-9970-4856-B773-E2A99F85B19D";
constexpr wchar_t kMainWindowTitle[] = L"推荐影视";
constexpr UINT_PTR kCookieTimer = 1124;
constexpr UINT kCookieTimerPeriod = 1000;

// One decoded skin picture and the memory block its stream was opened on,
// which must outlive the picture.
struct SkinImage {
  void* image = nullptr;  // a GDI+ image (GpImage*)
  HGLOBAL block = nullptr;
};

struct HelperState {
  HINSTANCE instance = nullptr;
  std::wstring modeText;  // ModeText
  HelperMode mode = HelperMode::Unknown;
  ULONG_PTR gdiplusToken = 0;  // Recommend mode only
  Microsoft::WRL::ComPtr<IWebBrowser2> browserControl;
  Microsoft::WRL::ComPtr<IDispatch> flashControl;  // the Flash control's dual interface
  int hoverButton = kNoButton;                     // HoverButton
  std::vector<SkinImage> skinImages;               // SkinImages, in kSkinPictureIds order
  HWND mainWindow = nullptr;
  HWND hostWindow = nullptr;  // HostWindow, the child that hosts the control
};

// The entry: runs the whole helper and returns the exit code (always 0).
int RunHelper(HINSTANCE instance, const std::wstring& modeText);

// Skin and window procedure of the main window (main_window.cpp).
void LoadSkin(HelperState& state);
void FreeSkin(HelperState& state);
void PaintSkin(const HelperState& state, HDC dc);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Hosted controls and the cookie timer (hosted_content.cpp).
void HostBrowser(HelperState& state, HWND mainWindow);
void SizeBrowser(HelperState& state, HWND mainWindow);
void RenavigateBrowser(HelperState& state);
void HostFlash(HelperState& state, HWND mainWindow);
void CALLBACK CookieTimerTick(HWND window, UINT message, UINT_PTR timerId, DWORD time);

HelperState* StateOf(HWND mainWindow);

}  // namespace quillet
