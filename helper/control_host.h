// A window that hosts one ActiveX control: the window classes "AtlAxWin90" and
// "AtlAxWinLic90" and the messages "WM_ATLGETHOST" and "WM_ATLGETCONTROL", as
// the platform's ATL offers them, implemented here so that the program depends
// neither on atl90.dll nor on a partial version of it.
#pragma once

#include <windows.h>
#include <ole2.h>

namespace quillet {

constexpr wchar_t kControlHostClass[] = L"AtlAxWin90";
constexpr wchar_t kControlHostLicClass[] = L"AtlAxWinLic90";

// Offered by the host object that "WM_ATLGETHOST" hands out: creates a control
// from its ProgID (or "{CLSID}") in the host window and in-place activates it.
// The host holds the control until the window is destroyed.
struct IControlHost : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateControl(LPCOLESTR progId, HWND hostWindow) = 0;
};
extern const IID IID_IControlHost;

// Registers both window classes and both messages. Runs once, before the
// program's entry; a window whose title is a ProgID creates that control.
void RegisterControlHostClasses(HINSTANCE instance);

// The registered message numbers. Their answers are the host object's and the
// control's IUnknown, without a reference added: the caller queries for what
// it wants, as with ATL.
UINT ControlHostGetHostMessage();
UINT ControlHostGetControlMessage();

}  // namespace quillet
