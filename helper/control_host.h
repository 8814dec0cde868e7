// A window that hosts one ActiveX control. It offers exactly what this
// program uses of the platform's ATL control host, under the same names:
// - the window classes "AtlAxWin90" and "AtlAxWinLic90" (the same host);
// - the registered message "WM_ATLGETHOST", answered with the host object's
//   IUnknown, and "WM_ATLGETCONTROL", answered with the control's IUnknown,
//   both without a reference added (the caller queries for what it wants);
// - on the host object, IControlHost::CreateControl, this program's own
//   interface, not ATL's IAxWinHostWindow.
// Nothing else of ATL is offered. Written here so that the program depends
// neither on atl90.dll, which a stock Windows lacks, nor on a partial one.
#pragma once

#include <windows.h>
#include <ole2.h>

namespace quillet {

constexpr wchar_t kControlHostClass[] = L"AtlAxWin90";
constexpr wchar_t kControlHostLicClass[] = L"AtlAxWinLic90";

// Creates a control from its ProgID (or "{CLSID}") in the host window and
// in-place activates it, closing any control held so far. The host holds the
// control until the window is destroyed.
struct IControlHost : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateControl(LPCOLESTR progId, HWND hostWindow) = 0;
};
extern const IID IID_IControlHost;

// Registers both window classes and both messages. Runs once, before the
// program's entry; a window whose title is a ProgID creates that control.
void RegisterControlHostClasses(HINSTANCE instance);

// The registered message numbers, registered on first use and kept.
UINT ControlHostGetHostMessage();
UINT ControlHostGetControlMessage();

}  // namespace quillet
