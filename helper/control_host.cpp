// The control host. One `ControlSite` per host window is the control's whole
// container: its client site (IOleClientSite), its in-place site and window
// (IOleInPlaceSite), the frame the control asks for during in-place activation
// (`InPlaceFrame`, an IOleInPlaceFrame whose window is the top-level one), the ambient properties (IDispatch), and for
// a web browser the document host (IDocHostUIHandler) that takes away the page's 3-D border. The frame has no menus,
// toolbars or status bar, so those requests are refused politely.
//
// Lifetime: the window holds one reference from WM_CREATE to WM_DESTROY, when
// the control is deactivated, closed and released; the control may hold
// references of its own to the site until it lets go of the client site.
#include "helper/control_host.h"

#include <exdisp.h>
#include <mshtmhst.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <initializer_list>
#include <new>

namespace quillet {

using Microsoft::WRL::ComPtr;

// {6C1B3C5E-2E9D-4C53-9B1F-7E0D4B2A5F31}
const IID IID_IControlHost = {0x6c1b3c5e, 0x2e9d, 0x4c53, {0x9b, 0x1f, 0x7e, 0x0d, 0x4b, 0x2a, 0x5f, 0x31}};

UINT ControlHostGetHostMessage() { return RegisterWindowMessageW(L"WM_ATLGETHOST"); }
UINT ControlHostGetControlMessage() { return RegisterWindowMessageW(L"WM_ATLGETCONTROL"); }

namespace {

constexpr long kHimetricPerInch = 2540;

// The frame as the control sees it: the top-level window, without menus,
// toolbars or status bar. A part of the site with the site's identity and
// reference count; it is separate only because its window is another one.
class InPlaceFrame final : public IOleInPlaceFrame {
 public:
  InPlaceFrame(IUnknown* owner, HWND host) : owner_(owner), host_(host) {}

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IOleInPlaceUIWindow || iid == IID_IOleInPlaceFrame) {
      if (!out) return E_POINTER;
      *out = static_cast<IOleInPlaceFrame*>(this);
      AddRef();
      return S_OK;
    }
    return owner_->QueryInterface(iid, out);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return owner_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return owner_->Release(); }

  // IOleWindow
  STDMETHODIMP GetWindow(HWND* window) override {
    if (!window) return E_POINTER;
    *window = GetAncestor(host_, GA_ROOT);
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IOleInPlaceUIWindow
  STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }

  // IOleInPlaceFrame
  STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return S_OK; }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return S_OK; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

 private:
  IUnknown* owner_;
  HWND host_;
};

class ControlSite final : public IOleClientSite,
                          public IOleInPlaceSite,
                          public IDispatch,
                          public IDocHostUIHandler,
                          public IControlHost {
 public:
  explicit ControlSite(HWND window) : window_(window), frame_(static_cast<IOleClientSite*>(this), window) {}

  IUnknown* Control() const { return control_.Get(); }

  // Deactivates, closes and lets go of the control; the site stays usable.
  void CloseControl() {
    if (inPlaceObject_) inPlaceObject_->InPlaceDeactivate();
    inPlaceObject_.Reset();
    ComPtr<IOleObject> object;
    if (control_ && SUCCEEDED(control_.As(&object))) {
      object->Close(OLECLOSE_NOSAVE);
      object->SetClientSite(nullptr);
    }
    control_.Reset();
  }

  void SizeControl() {
    if (!inPlaceObject_) return;
    RECT rect;
    GetClientRect(window_, &rect);
    inPlaceObject_->SetObjectRects(&rect, &rect);
  }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IOleClientSite) {
      *out = static_cast<IOleClientSite*>(this);
    } else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite) {
      *out = static_cast<IOleInPlaceSite*>(this);
    } else if (iid == IID_IOleInPlaceUIWindow || iid == IID_IOleInPlaceFrame) {
      return frame_.QueryInterface(iid, out);
    } else if (iid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
    } else if (iid == IID_IDocHostUIHandler) {
      *out = static_cast<IDocHostUIHandler*>(this);
    } else if (iid == IID_IControlHost) {
      *out = static_cast<IControlHost*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
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
    if (frame) {
      *frame = &frame_;
      frame_.AddRef();
    }
    if (document) *document = nullptr;  // the frame is the only UI window
    if (position) GetClientRect(window_, position);
    if (clip) GetClientRect(window_, clip);
    if (frameInfo) {
      frameInfo->cb = sizeof(OLEINPLACEFRAMEINFO);
      frameInfo->fMDIApp = FALSE;
      frameInfo->hwndFrame = GetAncestor(window_, GA_ROOT);
      frameInfo->haccel = nullptr;
      frameInfo->cAccelEntries = 0;
    }
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

  // IDispatch: the ambient properties. The control runs in user mode.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
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

 private:
  ~ControlSite() = default;

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
    HDC dc = GetDC(window_);
    const int dpiX = dc ? GetDeviceCaps(dc, LOGPIXELSX) : 96;
    const int dpiY = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc) ReleaseDC(window_, dc);
    SIZEL extent = {MulDiv(rect.right - rect.left, kHimetricPerInch, dpiX),
                    MulDiv(rect.bottom - rect.top, kHimetricPerInch, dpiY)};
    object->SetExtent(DVASPECT_CONTENT, &extent);
    return object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, this, 0, window_, &rect);
  }

  ULONG refs_ = 1;
  HWND window_;
  InPlaceFrame frame_;
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
