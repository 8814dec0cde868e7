// The control site. One per host window is the control's whole container.
// What a browser or Flash control asks of its site, and the answer:
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
#include "helper/control_site.h"

#include <new>
#include <utility>

#include "helper/scoped_handle.h"

namespace quillet {

using Microsoft::WRL::ComPtr;

// Defined beside the one object that answers for it. {6C1B3C5E-2E9D-4C53-9B1F-7E0D4B2A5F31}
const IID IID_IControlHost = {0x6c1b3c5e, 0x2e9d, 0x4c53, {0x9b, 0x1f, 0x7e, 0x0d, 0x4b, 0x2a, 0x5f, 0x31}};

namespace {

constexpr long kHimetricPerInch = 2540;

// The command group of the browser's document host, in which it reports script errors.
// {F38BC242-B950-11D1-8918-00C04FC2C836}
const GUID kCgidDocHostCommandHandler = {
    0xf38bc242, 0xb950, 0x11d1, {0x89, 0x18, 0x00, 0xc0, 0x4f, 0xc2, 0xc8, 0x36}};

// Not in mingw's uuid library. {C4D244B0-D43E-11CF-893B-00AA00BDCE1A}
const IID kIidDocHostShowUI = {0xc4d244b0, 0xd43e, 0x11cf, {0x89, 0x3b, 0x00, 0xaa, 0x00, 0xbd, 0xce, 0x1a}};

// Pixels per logical inch of the screen, across and down.
SIZE ScreenDpi(HWND window) {
  const WindowDc dc(window);
  if (!dc) return {96, 96};
  return {GetDeviceCaps(dc.get(), LOGPIXELSX), GetDeviceCaps(dc.get(), LOGPIXELSY)};
}

}  // namespace

void ControlSite::CloseControl() {
  const ComPtr<IUnknown> control = std::move(control_);
  const ComPtr<IOleInPlaceObject> inPlace = std::move(inPlaceObject_);
  if (inPlace) inPlace->InPlaceDeactivate();
  ComPtr<IOleObject> object;
  if (control && SUCCEEDED(control.As(&object))) {
    object->Close(OLECLOSE_NOSAVE);
    object->SetClientSite(nullptr);
  }
}

void ControlSite::SizeControl() {
  if (!inPlaceObject_) return;
  RECT rect;
  GetClientRect(window_, &rect);
  inPlaceObject_->SetObjectRects(&rect, &rect);
}

const QITAB* ControlSite::InterfaceTable() {
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

STDMETHODIMP ControlSite::CreateControl(LPCOLESTR progId, HWND hostWindow) {
  return CreateControlIn(progId, hostWindow);
}

STDMETHODIMP ControlSite::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
  if (moniker) *moniker = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ControlSite::GetContainer(IOleContainer** container) {
  if (container) *container = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP ControlSite::GetWindow(HWND* window) {
  if (!window) return E_POINTER;
  *window = window_;
  return S_OK;
}

STDMETHODIMP ControlSite::OnInPlaceActivate() {
  if (control_) control_.As(&inPlaceObject_);
  return S_OK;
}

STDMETHODIMP ControlSite::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                           LPRECT position, LPRECT clip, LPOLEINPLACEFRAMEINFO frameInfo) {
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

STDMETHODIMP ControlSite::OnInPlaceDeactivate() {
  inPlaceObject_.Reset();
  return S_OK;
}

STDMETHODIMP ControlSite::OnPosRectChange(LPCRECT rect) {
  if (inPlaceObject_ && rect) inPlaceObject_->SetObjectRects(rect, rect);
  return S_OK;
}

STDMETHODIMP ControlSite::GetExtendedControl(IDispatch** extended) {
  if (extended) *extended = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ControlSite::TransformCoords(POINTL* himetric, POINTF* container, DWORD flags) {
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

STDMETHODIMP ControlSite::GetTypeInfoCount(UINT* count) {
  if (count) *count = 0;
  return S_OK;
}

STDMETHODIMP ControlSite::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ControlSite::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS*, VARIANT* result,
                                 EXCEPINFO*, UINT*) {
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

STDMETHODIMP ControlSite::GetHostInfo(DOCHOSTUIINFO* info) {
  if (!info || info->cbSize < sizeof(DOCHOSTUIINFO)) return E_INVALIDARG;
  info->dwFlags = DOCHOSTUIFLAG_NO3DBORDER;
  info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
  info->pchHostCss = nullptr;
  info->pchHostNS = nullptr;
  return S_OK;
}

STDMETHODIMP ControlSite::ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                                 IOleInPlaceUIWindow*) {
  return S_OK;
}

STDMETHODIMP ControlSite::GetOptionKeyPath(LPOLESTR* key, DWORD) {
  if (key) *key = nullptr;
  return S_FALSE;
}

STDMETHODIMP ControlSite::GetDropTarget(IDropTarget*, IDropTarget** target) {
  if (target) *target = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ControlSite::GetExternal(IDispatch** external) {
  if (external) *external = nullptr;
  return S_FALSE;
}

STDMETHODIMP ControlSite::TranslateUrl(DWORD, LPWSTR, LPWSTR* out) {
  if (out) *out = nullptr;
  return S_FALSE;
}

STDMETHODIMP ControlSite::FilterDataObject(IDataObject*, IDataObject** out) {
  if (out) *out = nullptr;
  return S_FALSE;
}

STDMETHODIMP ControlSite::ShowMessage(HWND, LPOLESTR, LPOLESTR, DWORD type, LPOLESTR, DWORD,
                                      LRESULT* result) {
  if (result) *result = (type & MB_TYPEMASK) == MB_OK ? IDOK : IDCANCEL;
  return S_OK;
}

STDMETHODIMP ControlSite::QueryStatus(const GUID* group, ULONG count, OLECMD commands[], OLECMDTEXT*) {
  if (!group || *group != kCgidDocHostCommandHandler) return OLECMDERR_E_UNKNOWNGROUP;
  for (ULONG i = 0; commands && i < count; ++i) {
    commands[i].cmdf =
        commands[i].cmdID == OLECMDID_SHOWSCRIPTERROR ? OLECMDF_SUPPORTED | OLECMDF_ENABLED : 0;
  }
  return S_OK;
}

STDMETHODIMP ControlSite::Exec(const GUID* group, DWORD command, DWORD, VARIANT*, VARIANT* out) {
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

STDMETHODIMP ControlSite::QueryService(REFGUID, REFIID, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return E_NOINTERFACE;
}

HRESULT ControlSite::CreateControlIn(LPCOLESTR progId, HWND hostWindow) {
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

}  // namespace quillet
