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

#include "helper/gdiplus_owners.h"
#include "helper/helper_mode.h"
#include "helper/scoped_handle.h"
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
// which must outlive the picture: the picture is declared last, so it goes first.
struct SkinImage {
  UniqueGlobal block;
  UniqueGdiplusImage image;
};

// Members go in the reverse order of their declaration, which is the shutdown
// order: the main window is destroyed first, and with it its child
// HostWindow, which closes its control and lets go of it, while every other
// member is still there for the window procedure; then the control pointers,
// the last references to the controls, are released; then the skin's
// pictures are freed. The entry's GDI+ and COM owners, declared before the
// state, go after it.
struct HelperState {
  HINSTANCE instance = nullptr;
  std::wstring modeText;  // ModeText
  HelperMode mode = HelperMode::Unknown;
  std::vector<SkinImage> skinImages;  // SkinImages, in kSkinPictureIds order
  int hoverButton = kNoButton;        // HoverButton
  Microsoft::WRL::ComPtr<IDispatch> flashControl;  // the Flash control's dual interface
  Microsoft::WRL::ComPtr<IWebBrowser2> browserControl;
  // Emptied by the window itself when it is destroyed from inside (the close button).
  UniqueWindow mainWindow;
  // Why the message loop ended, for the log; a quit from elsewhere is a newer instance's.
  const char* exitReason = "quit by a newer instance";
};

// The entry: runs the whole helper and returns the exit code (always 0).
int RunHelper(HINSTANCE instance, const std::wstring& modeText);

// Skin and window procedure of the main window (main_window.cpp).
void LoadSkin(HelperState& state);
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
