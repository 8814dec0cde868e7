#include "updater/ui/link_static.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstring>

#include "updater/ui/link_rules.h"

namespace {
constexpr UINT_PTR kSubclassId = 1018;
constexpr UINT kToolId = 1;
constexpr int kHelpCursorId = 106;  // the hand of the system's help program
constexpr UINT kRedrawNow = RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW;
}  // namespace

LinkStatic::LinkStatic() : open(OpenLink), hoverColour_(GetSysColor(COLOR_HIGHLIGHT)) {}

LinkStatic::~LinkStatic() {
  if (hwnd_ && IsWindow(hwnd_)) RemoveWindowSubclass(hwnd_, SubclassProc, kSubclassId);
  if (tooltip_ && IsWindow(tooltip_)) DestroyWindow(tooltip_);
}

bool LinkStatic::Attach(HWND control) {
  if (!control || hwnd_) return false;
  hwnd_ = control;
  SetWindowLongA(hwnd_, GWL_STYLE, GetWindowLongA(hwnd_, GWL_STYLE) | SS_NOTIFY);

  char text[260] = "";
  GetWindowTextA(hwnd_, text, sizeof text);
  if (url_.empty()) url_ = text;
  if (text[0] == '\0') SetWindowTextA(hwnd_, url_.c_str());

  LOGFONTA lf{};
  HFONT current = reinterpret_cast<HFONT>(SendMessageA(hwnd_, WM_GETFONT, 0, 0));
  if (!current) current = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  GetObjectA(current, sizeof lf, &lf);
  lf.lfUnderline = underline_ ? TRUE : FALSE;
  font_.reset(CreateFontIndirectA(&lf));
  SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);

  FitLinkToText();
  LoadLinkCursor();
  CreateTooltip();
  return SetWindowSubclass(hwnd_, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this)) != FALSE;
}

void LinkStatic::SetLinkUrl(const std::string& url) {
  url_ = url;
  if (!hwnd_ || !IsWindow(hwnd_)) return;
  FitLinkToText();
  if (tooltip_) {
    TOOLINFOA ti{};
    ti.cbSize = TTTOOLINFOA_V1_SIZE;
    ti.hwnd = hwnd_;
    ti.uId = kToolId;
    ti.lpszText = const_cast<char*>(url_.c_str());
    SendMessageA(tooltip_, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&ti));
  }
}

void LinkStatic::FitLinkToText() {
  if (!hwnd_ || !IsWindow(hwnd_) || !fitToText_) return;
  RECT rc;
  GetWindowRect(hwnd_, &rc);
  MapWindowPoints(nullptr, GetParent(hwnd_), reinterpret_cast<POINT*>(&rc), 2);

  char text[260] = "";
  const int length = GetWindowTextA(hwnd_, text, sizeof text);
  SIZE extent{0, 0};
  HDC dc = GetDC(hwnd_);
  HGDIOBJ old = SelectObject(dc, font_ ? font_.get() : GetStockObject(DEFAULT_GUI_FONT));
  GetTextExtentPoint32A(dc, text, length, &extent);
  SelectObject(dc, old);
  ReleaseDC(hwnd_, dc);

  const unsigned long style = static_cast<unsigned long>(GetWindowLongA(hwnd_, GWL_STYLE));
  const LinkRect fit = FitLinkRect({rc.left, rc.top, rc.right, rc.bottom}, style, extent.cx, extent.cy);
  SetWindowPos(hwnd_, nullptr, fit.left, fit.top, fit.right - fit.left, fit.bottom - fit.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void LinkStatic::LoadLinkCursor() {
  if (cursor_) return;
  char path[MAX_PATH] = "";
  if (!GetWindowsDirectoryA(path, sizeof path)) return;
  if (std::strlen(path) + std::strlen("\\winhlp32.exe") >= sizeof path) return;
  std::strcat(path, "\\winhlp32.exe");
  // Loaded as data: only its cursor resource is wanted, none of its code.
  const UniqueModule module(LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!module) return;
  HCURSOR shared = LoadCursorA(module.get(), MAKEINTRESOURCEA(kHelpCursorId));
  if (shared) cursor_.reset(CopyCursor(shared));
}

void LinkStatic::CreateTooltip() {
  tooltip_ =
      CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, GetParent(hwnd_), nullptr, nullptr, nullptr);
  if (!tooltip_) return;
  TOOLINFOA ti{};
  ti.cbSize = TTTOOLINFOA_V1_SIZE;
  ti.hwnd = hwnd_;
  ti.uId = kToolId;
  ti.lpszText = const_cast<char*>(url_.c_str());
  GetClientRect(hwnd_, &ti.rect);
  SendMessageA(tooltip_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&ti));
}

COLORREF LinkStatic::TextColour() const {
  if (pointerOver_) return hoverColour_;
  return visited_ ? visitedColour_ : linkColour_;
}

HBRUSH LinkStatic::OnCtlColor(HDC dc) {
  SetTextColor(dc, TextColour());
  SetBkMode(dc, TRANSPARENT);
  return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
}

void LinkStatic::OnClicked() {
  const int status = open(url_, SW_SHOW);
  visited_ = status > 32;
  if (!visited_) {
    MessageBeep(MB_ICONEXCLAMATION);
    ReportLinkError(status);
  } else {
    InvalidateRect(hwnd_, nullptr, TRUE);
  }
}

void LinkStatic::ReportLinkError(int status) {
  messageBox(GetParent(hwnd_), LinkErrorReport(status).c_str(), "Torvane", MB_ICONEXCLAMATION | MB_OK);
}

LRESULT LinkStatic::OnMouseMove(UINT msg, WPARAM wParam, LPARAM lParam) {
  const LRESULT result = DefSubclassProc(hwnd_, msg, wParam, lParam);
  if (pointerOver_) {
    RECT rc;
    GetClientRect(hwnd_, &rc);
    const POINT pt{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    if (!PtInRect(&rc, pt)) {
      pointerOver_ = false;
      ReleaseCapture();
      RedrawWindow(hwnd_, nullptr, nullptr, kRedrawNow);
    }
  } else {
    pointerOver_ = true;
    RedrawWindow(hwnd_, nullptr, nullptr, kRedrawNow);
    // Captured, so the control learns when the pointer leaves it.
    SetCapture(hwnd_);
  }
  return result;
}

LRESULT CALLBACK LinkStatic::SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                          DWORD_PTR self) {
  auto* link = reinterpret_cast<LinkStatic*>(self);
  if (link->tooltip_) {
    MSG relay{hwnd, msg, wParam, lParam, 0, {0, 0}};
    relay.time = GetMessageTime();
    const DWORD pos = GetMessagePos();
    relay.pt = {static_cast<short>(LOWORD(pos)), static_cast<short>(HIWORD(pos))};
    SendMessageA(link->tooltip_, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&relay));
  }
  switch (msg) {
    case WM_SETCURSOR:
      if (!link->cursor_) return FALSE;
      SetCursor(link->cursor_.get());
      return TRUE;
    case WM_MOUSEMOVE:
      return link->OnMouseMove(msg, wParam, lParam);
    case WM_NCDESTROY:
      RemoveWindowSubclass(hwnd, SubclassProc, kSubclassId);
      link->hwnd_ = nullptr;
      break;
  }
  return DefSubclassProc(hwnd, msg, wParam, lParam);
}

LONG ReadClassesRootValue(HKEY root, const char* subkey, char* out) {
  HKEY opened = nullptr;
  const LONG status = RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE, &opened);
  if (status != ERROR_SUCCESS) return status;
  const UniqueRegistryKey key(opened);
  char value[MAX_PATH] = "";
  LONG size = sizeof value;
  const LONG read = RegQueryValueA(key.get(), nullptr, value, &size);
  if (read != ERROR_SUCCESS) return read;
  value[sizeof value - 1] = '\0';
  std::strcpy(out, value);
  return ERROR_SUCCESS;
}

int OpenLink(const std::string& url, int show) {
  const int shell = static_cast<int>(
      reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, show)));
  if (shell > 32) return shell;

  char key[520] = "";
  if (ReadClassesRootValue(HKEY_CLASSES_ROOT, ".htm", key) != ERROR_SUCCESS) return shell;
  std::string commandKey = std::string(key) + "\\shell\\open\\command";
  char command[520] = "";
  if (ReadClassesRootValue(HKEY_CLASSES_ROOT, commandKey.c_str(), command) != ERROR_SUCCESS) return shell;

  const std::string line = CutOpenCommand(command) + " " + url;
  return static_cast<int>(WinExec(line.c_str(), show));
}
