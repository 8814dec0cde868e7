// The control host's window: one ControlSite (control_site.h) per window,
// held from WM_CREATE to WM_DESTROY, and the two registered messages that
// hand out the site and the control.
#include "helper/control_host.h"

#include <initializer_list>
#include <new>

#include "helper/control_site.h"

namespace quillet {

// Registered once: the numbers are the same for the whole session.
UINT ControlHostGetHostMessage() {
  static const UINT message = RegisterWindowMessageW(L"WM_ATLGETHOST");
  return message;
}
UINT ControlHostGetControlMessage() {
  static const UINT message = RegisterWindowMessageW(L"WM_ATLGETCONTROL");
  return message;
}

namespace {

ControlSite* SiteOf(HWND window) { return reinterpret_cast<ControlSite*>(GetWindowLongPtrW(window, GWLP_USERDATA)); }

LRESULT OnCreate(HWND window, const CREATESTRUCTW* create) {
  ControlSite* site = new (std::nothrow) ControlSite(window);
  if (!site) return -1;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(site));
  // As with ATL, a title names the control to create at once.
  if (create->lpszName && !IS_INTRESOURCE(create->lpszName) && create->lpszName[0] != L'\0') {
    site->CreateControl(create->lpszName, window);
  }
  return 0;
}

void OnDestroy(HWND window) {
  ControlSite* site = SiteOf(window);
  if (!site) return;
  SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  site->CloseControl();
  site->Release();
}

LRESULT CALLBACK ControlHostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return OnCreate(window, reinterpret_cast<const CREATESTRUCTW*>(lParam));
    case WM_DESTROY:
      OnDestroy(window);
      return 0;
    case WM_SIZE:
      if (ControlSite* site = SiteOf(window)) site->SizeControl();
      return 0;
    case WM_ERASEBKGND:
      // The control paints the whole area; erasing first would only flicker.
      return SiteOf(window) && SiteOf(window)->Control() ? 1 : DefWindowProcW(window, message, wParam, lParam);
    default:
      break;
  }
  if (message == ControlHostGetHostMessage()) {
    ControlSite* site = SiteOf(window);
    return reinterpret_cast<LRESULT>(site ? static_cast<IOleClientSite*>(site) : nullptr);
  }
  if (message == ControlHostGetControlMessage()) {
    ControlSite* site = SiteOf(window);
    return reinterpret_cast<LRESULT>(site ? site->Control() : nullptr);
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

void RegisterControlHostClasses(HINSTANCE instance) {
  ControlHostGetHostMessage();
  ControlHostGetControlMessage();
  // The licensed variant is the same host: no control used here needs a run-time licence.
  for (const wchar_t* name : {kControlHostClass, kControlHostLicClass}) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = ControlHostProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = name;
    RegisterClassExW(&wc);
  }
}

}  // namespace quillet
