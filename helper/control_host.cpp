// The control host. One `ControlSite` per host window is the control's whole
// container. What a browser or Flash control asks of its site, and the answer:
// - IOleClientSite and IOleInPlaceSite: the client site and the in-place site,
//   whose window is the host window.
// - IOleControlSite: focus, accelerators and info changes are taken and
//   ignored; coordinates are converted at the screen's DPI; there is no
//   extended control and no property frame.
// - IDispatch: the ambient properties; the control runs in user mode.
// - IDocHostUIHandler (browser): the page fills the host without a 3-D border.
// - IOleCommandTarget (browser): a script error on the page is answered
//   "handled, keep running scripts", so the browser shows no error dialog.
// - IDocHostShowUI (browser): a page's alert or help request is answered
//   "shown" and nothing is shown. This program never shows a message.
// - IServiceProvider: no services, on purpose. The browser asks for a security
//   manager (to change zone rules), a new-window manager, credentials
//   (IAuthenticate) and a download manager, among others. Without them the
//   browser keeps to the system's zone settings and to its own defaults for
//   new windows, downloads and log-ins: the host widens no permission and
//   adds no prompt of its own.
// The in-place frame (in_place_frame.h, whose window is the top-level one) is
// a COM object of its own.
//
// Lifetime: the window holds one reference to the site from WM_CREATE to
// WM_DESTROY, when the control is deactivated, closed and released; the
// control may hold references of its own to the site until it lets go of the
// client site. The site holds the frame; the frame holds nothing.
#include "helper/control_host.h"

#include <docobj.h>
#include <exdisp.h>
#include <mshtmhst.h>
#include <ocidl.h>
#include <olectl.h>
#include <servprov.h>
#include <wrl/client.h>

#include <initializer_list>
#include <new>
#include <utility>

#include "helper/com_object.h"
#include "helper/in_place_frame.h"
#include "helper/scoped_handle.h"

namespace quillet {

using Microsoft::WRL::ComPtr;

// {6C1B3C5E-2E9D-4C53-9B1F-7E0D4B2A5F31}
const IID IID_IControlHost = {0x6c1b3c5e, 0x2e9d, 0x4c53, {0x9b, 0x1f, 0x7e, 0x0d, 0x4b, 0x2a, 0x5f, 0x31}};

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

constexpr long kHimetricPerInch = 2540;

// The command group of the browser's document host, in which it reports script errors.
// {F38BC242-B950-11D1-8918-00C04FC2C836}
const GUID kCgidDocHostCommandHandler = {0xf38bc242, 0xb950, 0x11d1, {0x89, 0x18, 0x00, 0xc0, 0x4f, 0xc2, 0xc8, 0x36}};

// Not in mingw's uuid library. {C4D244B0-D43E-11CF-893B-00AA00BDCE1A}
const IID kIidDocHostShowUI = {0xc4d244b0, 0xd43e, 0x11cf, {0x89, 0x3b, 0x00, 0xaa, 0x00, 0xbd, 0xce, 0x1a}};

// Pixels per logical inch of the screen, across and down.
SIZE ScreenDpi(HWND window) {
  const WindowDc dc(window);
  if (!dc) return {96, 96};
  return {GetDeviceCaps(dc.get(), LOGPIXELSX), GetDeviceCaps(dc.get(), LOGPIXELSY)};
}

class ControlSite final : public ComObject<ControlSite, IOleClientSite, IOleInPlaceSite, IOleControlSite, IDispatch,
                                           IDocHostUIHandler, IDocHostShowUI, IOleCommandTarget, IServiceProvider,
                                           IControlHost> {
 public:
  explicit ControlSite(HWND window) : window_(window) {}

  IUnknown* Control() const { return control_.Get(); }

  // Deactivates, closes and lets go of the control; the site stays usable.
  // The members are emptied before the control is called: whatever it calls
  // back into meanwhile (its in-place deactivation, a nested close) finds them
  // empty, and the locals keep the control alive until its last call has
  // returned. The caller keeps the site alive: the window, or whoever called
  // CreateControl through the site.
  void CloseControl() {
    const ComPtr<IUnknown> control = std::move(control_);
    const ComPtr<IOleInPlaceObject> inPlace = std::move(inPlaceObject_);
    if (inPlace) inPlace->InPlaceDeactivate();
    ComPtr<IOleObject> object;
    if (control && SUCCEEDED(control.As(&object))) {
      object->Close(OLECLOSE_NOSAVE);
      object->SetClientSite(nullptr);
    }
  }

  void SizeControl() {
    if (!inPlaceObject_) return;
    RECT rect;
    GetClientRect(window_, &rect);
    inPlaceObject_->SetObjectRects(&rect, &rect);
  }

  static const QITAB* InterfaceTable() {
    static const QITAB table[] = {
        QITABENTMULTI2(ControlSite, IID_IOleClientSite, IOleClientSite),
        QITABENTMULTI2(ControlSite, IID_IOleWindow, IOleInPlaceSite),
        QITABENTMULTI2(ControlSite, IID_IOleInPlaceSite, IOleInPlaceSite),
        QITABENTMULTI2(ControlSite, IID_IOleControlSite, IOleControlSite),
        QITABENTMULTI2(ControlSite, IID_IDispatch, IDispatch),
        QITABENTMULTI2(ControlSite, IID_IDocHostUIHandler, IDocHostUIHandler),
        QITABENTMULTI2(ControlSite, kIidDocHostShowUI, IDocHostShowUI),
        QITABENTMULTI2(ControlSite, IID_IOleCommandTarget, IOleCommandTarget),
        QITABENTMULTI2(ControlSite, IID_IServiceProvider, IServiceProvider),
        QITABENTMULTI2(ControlSite, IID_IControlHost, IControlHost),
        {},
    };
    return table;
  }

  // IControlHost
  STDMETHODIMP CreateControl(LPCOLESTR progId, HWND hostWindow) override { return CreateControlIn(progId, hostWindow); }

  // IOleClientSite
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
    if (moniker) *moniker = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetContainer(IOleContainer** container) override {
    if (container) *container = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow
  STDMETHODIMP GetWindow(HWND* window) override {
    if (!window) return E_POINTER;
    *window = window_;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IOleInPlaceSite
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override {
    if (control_) control_.As(&inPlaceObject_);
    return S_OK;
  }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, LPRECT position, LPRECT clip,
                                LPOLEINPLACEFRAMEINFO frameInfo) override {
    if (!frame || !document || !position || !clip || !frameInfo) return E_POINTER;
    *frame = nullptr;
    *document = nullptr;  // the frame is the only UI window
    if (!frame_) frame_.Attach(new (std::nothrow) InPlaceFrame(window_));
    if (!frame_) return E_OUTOFMEMORY;
    frame_.CopyTo(frame);
    GetClientRect(window_, position);
    GetClientRect(window_, clip);
    frameInfo->cb = sizeof(OLEINPLACEFRAMEINFO);
    frameInfo->fMDIApp = FALSE;
    frameInfo->hwndFrame = GetAncestor(window_, GA_ROOT);
    frameInfo->haccel = nullptr;
    frameInfo->cAccelEntries = 0;
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override {
    inPlaceObject_.Reset();
    return S_OK;
  }
  STDMETHODIMP DiscardUndoState() override { return S_OK; }
  STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
  STDMETHODIMP OnPosRectChange(LPCRECT rect) override {
    if (inPlaceObject_ && rect) inPlaceObject_->SetObjectRects(rect, rect);
    return S_OK;
  }

  // IOleControlSite
  STDMETHODIMP OnControlInfoChanged() override { return S_OK; }
  STDMETHODIMP LockInPlaceActive(BOOL) override { return S_OK; }  // never deactivated before it is closed
  STDMETHODIMP GetExtendedControl(IDispatch** extended) override {
    if (extended) *extended = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP TransformCoords(POINTL* himetric, POINTF* container, DWORD flags) override {
    if (!himetric || !container) return E_POINTER;
    const SIZE dpi = ScreenDpi(window_);
    if (flags & XFORMCOORDS_HIMETRICTOCONTAINER) {
      container->x = static_cast<float>(himetric->x) * dpi.cx / kHimetricPerInch;
      container->y = static_cast<float>(himetric->y) * dpi.cy / kHimetricPerInch;
    } else if (flags & XFORMCOORDS_CONTAINERTOHIMETRIC) {
      himetric->x = static_cast<LONG>(container->x * kHimetricPerInch / dpi.cx + 0.5f);
      himetric->y = static_cast<LONG>(container->y * kHimetricPerInch / dpi.cy + 0.5f);
    } else {
      return E_INVALIDARG;
    }
    return S_OK;
  }
  STDMETHODIMP TranslateAccelerator(MSG*, DWORD) override { return S_FALSE; }
  STDMETHODIMP OnFocus(BOOL) override { return S_OK; }
  STDMETHODIMP ShowPropertyFrame() override { return E_NOTIMPL; }

  // IDispatch: the ambient properties, read as properties of the default interface.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!(flags & DISPATCH_PROPERTYGET) || !result) return DISP_E_MEMBERNOTFOUND;
    switch (id) {
      case DISPID_AMBIENT_USERMODE:
        V_VT(result) = VT_BOOL;
        V_BOOL(result) = VARIANT_TRUE;
        return S_OK;
      case DISPID_AMBIENT_SHOWGRABHANDLES:
      case DISPID_AMBIENT_SHOWHATCHING:
      case DISPID_AMBIENT_UIDEAD:
        V_VT(result) = VT_BOOL;
        V_BOOL(result) = VARIANT_FALSE;
        return S_OK;
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  }

  // IDocHostUIHandler: the page fills the host with no border of its own.
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, const GUID*, DWORD) override { return S_FALSE; }
  STDMETHODIMP ShowContextMenu(DWORD, POINT*, IUnknown*, IDispatch*) override { return S_FALSE; }
  STDMETHODIMP GetHostInfo(DOCHOSTUIINFO* info) override {
    if (!info || info->cbSize < sizeof(DOCHOSTUIINFO)) return E_INVALIDARG;
    info->dwFlags = DOCHOSTUIFLAG_NO3DBORDER;
    info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
    info->pchHostCss = nullptr;
    info->pchHostNS = nullptr;
    return S_OK;
  }
  STDMETHODIMP ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                      IOleInPlaceUIWindow*) override {
    return S_OK;
  }
  STDMETHODIMP HideUI() override { return S_OK; }
  STDMETHODIMP UpdateUI() override { return S_OK; }
  STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
  STDMETHODIMP GetOptionKeyPath(LPOLESTR* key, DWORD) override {
    if (key) *key = nullptr;
    return S_FALSE;
  }
  STDMETHODIMP GetDropTarget(IDropTarget*, IDropTarget** target) override {
    if (target) *target = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetExternal(IDispatch** external) override {
    if (external) *external = nullptr;
    return S_FALSE;
  }
  STDMETHODIMP TranslateUrl(DWORD, LPWSTR, LPWSTR* out) override {
    if (out) *out = nullptr;
    return S_FALSE;
  }
  STDMETHODIMP FilterDataObject(IDataObject*, IDataObject** out) override {
    if (out) *out = nullptr;
    return S_FALSE;
  }

  // IDocHostShowUI: "shown", and nothing is. A confirmation is declined.
  STDMETHODIMP ShowMessage(HWND, LPOLESTR, LPOLESTR, DWORD type, LPOLESTR, DWORD, LRESULT* result) override {
    if (result) *result = (type & MB_TYPEMASK) == MB_OK ? IDOK : IDCANCEL;
    return S_OK;
  }
  STDMETHODIMP ShowHelp(HWND, LPOLESTR, UINT, DWORD, POINT, IDispatch*) override { return S_OK; }

  // IOleCommandTarget: only the browser's script-error report is answered.
  STDMETHODIMP QueryStatus(const GUID* group, ULONG count, OLECMD commands[], OLECMDTEXT*) override {
    if (!group || *group != kCgidDocHostCommandHandler) return OLECMDERR_E_UNKNOWNGROUP;
    for (ULONG i = 0; commands && i < count; ++i) {
      commands[i].cmdf = commands[i].cmdID == OLECMDID_SHOWSCRIPTERROR ? OLECMDF_SUPPORTED | OLECMDF_ENABLED : 0;
    }
    return S_OK;
  }
  STDMETHODIMP Exec(const GUID* group, DWORD command, DWORD, VARIANT*, VARIANT* out) override {
    if (!group || *group != kCgidDocHostCommandHandler) return OLECMDERR_E_UNKNOWNGROUP;
    if (command != OLECMDID_SHOWSCRIPTERROR) return OLECMDERR_E_NOTSUPPORTED;
    // Handled, and the page's scripts go on running.
    if (out) {
      VariantClear(out);
      V_VT(out) = VT_BOOL;
      V_BOOL(out) = VARIANT_TRUE;
    }
    return S_OK;
  }

  // IServiceProvider: none offered (see the note at the top).
  STDMETHODIMP QueryService(REFGUID, REFIID, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return E_NOINTERFACE;
  }

 private:
  ~ControlSite() override = default;

  HRESULT CreateControlIn(LPCOLESTR progId, HWND hostWindow) {
    if (!progId || !*progId) return E_INVALIDARG;
    if (hostWindow && hostWindow != window_) return E_INVALIDARG;
    CloseControl();

    CLSID clsid;
    HRESULT hr = (progId[0] == L'{') ? CLSIDFromString(progId, &clsid) : CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr)) return hr;
    ComPtr<IUnknown> control;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IUnknown,
                          reinterpret_cast<void**>(control.GetAddressOf()));
    if (FAILED(hr)) return hr;
    control_ = control;

    ComPtr<IOleObject> object;
    if (FAILED(control.As(&object))) return S_OK;  // a plain COM object: held, not activated
    // The site goes first: some controls read ambient properties while they initialise.
    object->SetClientSite(this);
    ComPtr<IPersistStreamInit> persist;
    if (SUCCEEDED(control.As(&persist))) persist->InitNew();

    RECT rect;
    GetClientRect(window_, &rect);
    const SIZE dpi = ScreenDpi(window_);
    SIZEL extent = {MulDiv(rect.right - rect.left, kHimetricPerInch, dpi.cx),
                    MulDiv(rect.bottom - rect.top, kHimetricPerInch, dpi.cy)};
    object->SetExtent(DVASPECT_CONTENT, &extent);
    return object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, this, 0, window_, &rect);
  }

  HWND window_;
  ComPtr<InPlaceFrame> frame_;
  ComPtr<IUnknown> control_;
  ComPtr<IOleInPlaceObject> inPlaceObject_;
};

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
