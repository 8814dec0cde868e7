// The hosted controls: the web browser of the recommendation window, and the
// Flash movie of the two cookie modes with the timer that ends them.
#include <windows.h>
#include <oleauto.h>

#include "helper/control_host.h"
#include "helper/helper_state.h"

namespace quillet {
namespace {

using Microsoft::WRL::ComPtr;

// The Flash control's dual interface. Its methods are called by name through
// IDispatch, which holds for every version of the control.
const IID IID_IShockwaveFlash = {0xd27cdb6c, 0xae6d, 0x11cf, {0x96, 0xb8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

constexpr wchar_t kBrowserProgId[] = L"shell.Explorer.1";
constexpr wchar_t kFlashProgId[] = L"ShockwaveFlash.ShockwaveFlash";
constexpr wchar_t kClearCookieRequest[] = L"<invoke name=\"clearCookie\"></invoke>";
constexpr int kNavigateFlags = 14;  // navNoHistory | navNoReadFromCache | navNoWriteToCache

RECT ToRect(const SkinRect& r) { return {r.left, r.top, r.right, r.bottom}; }
SkinRect ToSkinRect(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

// Creates the host window on `rect` (client coordinates of the main window),
// has its host object create the control named by `progId`, and asks the
// control for `iid`. Leaves `out` null when anything fails. The host window
// is a child of the main window and goes with it.
void HostControl(HINSTANCE instance, HWND mainWindow, const RECT& rect, const wchar_t* progId, REFIID iid, void** out) {
  *out = nullptr;
  HWND host = CreateWindowExW(0, kControlHostClass, nullptr, WS_CHILD | WS_VISIBLE, rect.left, rect.top,
                              rect.right - rect.left, rect.bottom - rect.top, mainWindow, nullptr, instance, nullptr);
  if (!host) return;
  auto* hostObject = reinterpret_cast<IUnknown*>(SendMessageW(host, ControlHostGetHostMessage(), 0, 0));
  ComPtr<IControlHost> controlHost;
  if (hostObject && SUCCEEDED(hostObject->QueryInterface(IID_IControlHost, &controlHost))) {
    controlHost->CreateControl(progId, host);
  }
  auto* control = reinterpret_cast<IUnknown*>(SendMessageW(host, ControlHostGetControlMessage(), 0, 0));
  if (control) control->QueryInterface(iid, out);
}

void Navigate(IWebBrowser2* browser) {
  ScopedVariant url;
  url.SetBstr(UniqueBstr(SysAllocString(kRecommendUrl)));
  ScopedVariant flags;
  flags.SetInt(VT_INT, kNavigateFlags);
  if (url.HoldsText()) browser->Navigate2(url.get(), flags.get(), nullptr, nullptr, nullptr);
}

// Calls a method of a dispatch interface by name. `args` are in the reverse
// order of the method's parameters, as IDispatch::Invoke wants them.
HRESULT CallByName(IDispatch* object, const wchar_t* name, VARIANT* args, UINT count, VARIANT* result) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  DISPPARAMS params = {args, nullptr, count, 0};
  EXCEPINFO exception = {};
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, &exception, nullptr);
  // The error's texts are the caller's to free, and nobody reads them.
  const UniqueBstr source(exception.bstrSource), description(exception.bstrDescription),
      helpFile(exception.bstrHelpFile);
  return hr;
}

// LoadMovie(layer, url).
HRESULT LoadMovie(IDispatch* flash, int layer, const wchar_t* url) {
  ScopedVariant args[2];
  args[0].SetBstr(UniqueBstr(SysAllocString(url)));
  args[1].SetInt(VT_I4, layer);
  if (!args[0].HoldsText()) return E_OUTOFMEMORY;
  VARIANT raw[2] = {*args[0].get(), *args[1].get()};  // borrowed: the owners clear them
  return CallByName(flash, L"LoadMovie", raw, 2, nullptr);
}

// CallFunction(request) returns a string, dropped unread.
HRESULT CallFunction(IDispatch* flash, const wchar_t* request) {
  ScopedVariant arg;
  arg.SetBstr(UniqueBstr(SysAllocString(request)));
  if (!arg.HoldsText()) return E_OUTOFMEMORY;
  ScopedVariant result;
  return CallByName(flash, L"CallFunction", arg.get(), 1, result.get());
}

}  // namespace

void HostBrowser(HelperState& state, HWND mainWindow) {
  // The host goes straight onto the frame's body. (Derived from the client
  // rectangle while the caption is still there, it would depend on the
  // caption height of the system and could cover the frame's lower edge.)
  const RECT rect = ToRect(kBodyRect);
  state.browserControl.Reset();
  HostControl(state.instance, mainWindow, rect, kBrowserProgId, IID_IWebBrowser2,
              reinterpret_cast<void**>(state.browserControl.GetAddressOf()));
  if (state.browserControl) Navigate(state.browserControl.Get());
}

void SizeBrowser(HelperState& state, HWND mainWindow) {
  if (!state.browserControl) return;
  RECT client;
  GetClientRect(mainWindow, &client);
  const RECT rect = ToRect(BrowserObjectRect(ToSkinRect(client)));
  ComPtr<IOleInPlaceObject> inPlace;
  if (SUCCEEDED(state.browserControl.As(&inPlace))) inPlace->SetObjectRects(&rect, &rect);
}

void RenavigateBrowser(HelperState& state) {
  if (!state.browserControl) return;
  Navigate(state.browserControl.Get());
  state.browserControl->Quit();
}

void HostFlash(HelperState& state, HWND mainWindow) {
  RECT client;
  GetClientRect(mainWindow, &client);
  state.flashControl.Reset();
  HostControl(state.instance, mainWindow, client, kFlashProgId, IID_IShockwaveFlash,
              reinterpret_cast<void**>(state.flashControl.GetAddressOf()));
  // The movie loads from the network while the run goes on; a refusal is dropped.
  if (state.flashControl) LoadMovie(state.flashControl.Get(), 0, kCookieMovieUrl);
}

void CALLBACK CookieTimerTick(HWND window, UINT, UINT_PTR timerId, DWORD) {
  if (timerId != kCookieTimer) return;
  HelperState* state = StateOf(window);
  if (!state) return;
  if (state->mode == HelperMode::ClearCookie && state->flashControl) {
    // A movie that is not running yet, or has no such function, fails here; the run ends anyway.
    CallFunction(state->flashControl.Get(), kClearCookieRequest);
  }
  state->exitReason = "cookie timer";
  PostQuitMessage(0);
}

}  // namespace quillet
