// The stand-in web browser: in-place activation through a tear-off with a
// count of its own, what it asks of its site, and Navigate2 and Quit logged.
#include <windows.h>
#include <ole2.h>
#include <docobj.h>
#include <exdisp.h>
#include <mshtmhst.h>
#include <olectl.h>
#include <servprov.h>
#include <wrl/client.h>

#include <new>
#include <string>

#include "helper/com_object.h"
#include "helper/scoped_handle.h"
#include "tests/helper/fake_controls.h"

namespace fake_controls {
namespace {

using Microsoft::WRL::ComPtr;
using quillet::ScopedVariant;

// The command group in which the browser reports script errors to its host.
// {F38BC242-B950-11D1-8918-00C04FC2C836}
const GUID kCgidDocHostCommandHandler = {0xf38bc242, 0xb950, 0x11d1, {0x89, 0x18, 0x00, 0xc0, 0x4f, 0xc2, 0xc8, 0x36}};
// {C4D244B0-D43E-11CF-893B-00AA00BDCE1A}
const IID kIidDocHostShowUI = {0xc4d244b0, 0xd43e, 0x11cf, {0x89, 0x3b, 0x00, 0xaa, 0x00, 0xbd, 0xce, 0x1a}};

// What a web browser asks of its site besides activation, in one line:
// "controlsite=<yes|no> scripterror=<hr>,<continue|stop|none> alert=<hr>
//  services=<none|some> frame=<own|shared> ambient-iid=<hr>".
std::string ProbeSite(IOleClientSite *site) {
  ComPtr<IOleControlSite> control;
  std::string line = std::string("controlsite=") + (SUCCEEDED(site->QueryInterface(IID_IOleControlSite, &control)) ? "yes" : "no");

  line += " scripterror=";
  ComPtr<IOleCommandTarget> target;
  if (SUCCEEDED(site->QueryInterface(IID_IOleCommandTarget, &target))) {
    ScopedVariant in, out;
    const HRESULT hr = target->Exec(&kCgidDocHostCommandHandler, OLECMDID_SHOWSCRIPTERROR, 0, in.get(), out.get());
    line += Hex(hr) + "," + (V_VT(out.get()) != VT_BOOL ? "none" : V_BOOL(out.get()) ? "continue" : "stop");
  } else {
    line += "no-target";
  }

  line += " alert=";
  ComPtr<IDocHostShowUI> ui;
  if (SUCCEEDED(site->QueryInterface(kIidDocHostShowUI, &ui))) {
    LRESULT result = 0;
    wchar_t text[] = L"hello";
    line += Hex(ui->ShowMessage(nullptr, text, nullptr, MB_OK, nullptr, 0, &result));
  } else {
    line += "no-ui";
  }

  line += " services=";
  ComPtr<IServiceProvider> provider;
  if (SUCCEEDED(site->QueryInterface(IID_IServiceProvider, &provider))) {
    ComPtr<IUnknown> service;
    const HRESULT hr = provider->QueryService(IID_IUnknown, IID_IUnknown, reinterpret_cast<void **>(service.GetAddressOf()));
    line += SUCCEEDED(hr) || service ? "some" : "none";
  } else {
    line += "no-provider";
  }

  // The frame is an object of its own: another IUnknown, and no client site in it.
  line += " frame=";
  ComPtr<IOleInPlaceSite> inPlace;
  ComPtr<IOleInPlaceFrame> frame;
  ComPtr<IOleInPlaceUIWindow> document;
  RECT position, clip;
  OLEINPLACEFRAMEINFO info = {};
  info.cb = sizeof info;
  if (SUCCEEDED(site->QueryInterface(IID_IOleInPlaceSite, &inPlace)) &&
      SUCCEEDED(inPlace->GetWindowContext(&frame, &document, &position, &clip, &info)) && frame) {
    ComPtr<IUnknown> siteIdentity, frameIdentity;
    ComPtr<IOleClientSite> siteInFrame;
    site->QueryInterface(IID_IUnknown, &siteIdentity);
    frame->QueryInterface(IID_IUnknown, &frameIdentity);
    frame->QueryInterface(IID_IOleClientSite, &siteInFrame);
    const bool own = frameIdentity.Get() && frameIdentity.Get() != siteIdentity.Get() && !siteInFrame.Get();
    line += own ? "own" : "shared";
  } else {
    line += "none";
  }

  line += " ambient-iid=";
  ComPtr<IDispatch> ambient;
  if (SUCCEEDED(site->QueryInterface(IID_IDispatch, &ambient))) {
    ScopedVariant v;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    line += Hex(ambient->Invoke(DISPID_AMBIENT_USERMODE, IID_IDispatch, 0, DISPATCH_PROPERTYGET, &none, v.get(),
                                nullptr, nullptr));
  } else {
    line += "no-ambient";
  }
  return line;
}

class FakeBrowser;

// The browser's IOleInPlaceObject, a tear-off with a count of its own that
// holds the browser. Freed in the middle of one of its calls, it logs
// "browser.InPlaceObjectFreedDuringCall" and goes only when the call returns.
class InPlaceTearOff final : public ComObject<InPlaceTearOff, IOleInPlaceObject> {
 public:
  explicit InPlaceTearOff(FakeBrowser *owner);
  ~InPlaceTearOff() override;

  static const QITAB *InterfaceTable() {
    static const QITAB table[] = {
        QITABENTMULTI2(InPlaceTearOff, IID_IOleInPlaceObject, IOleInPlaceObject),
        QITABENTMULTI2(InPlaceTearOff, IID_IOleWindow, IOleInPlaceObject),
        {},
    };
    return table;
  }
  STDMETHODIMP QueryInterface(REFIID iid, void **out) override;

  STDMETHODIMP GetWindow(HWND *) override { return E_FAIL; }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP InPlaceDeactivate() override;
  STDMETHODIMP UIDeactivate() override { return S_OK; }
  STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) override {
    Log("browser.SetObjectRects " + Describe(position) + " clip=" + Describe(clip));
    return S_OK;
  }
  STDMETHODIMP ReactivateAndUndo() override { return E_NOTIMPL; }

 private:
  HRESULT Leave(HRESULT hr) {
    if (--calls_ == 0 && freed_) delete this;
    return hr;
  }

  void LastReleased() override {
    if (calls_ > 0) {
      Log("browser.InPlaceObjectFreedDuringCall");
      freed_ = true;
    } else {
      delete this;
    }
  }

  FakeBrowser *owner_;
  int calls_ = 0;
  bool freed_ = false;
};

class FakeBrowser final : public ComObject<FakeBrowser, FakeOleObject, IWebBrowser2> {
 public:
  FakeBrowser() : ComObject("browser") {}

  static const QITAB *InterfaceTable() {
    static const QITAB table[] = {
        QITABENTMULTI2(FakeBrowser, IID_IOleObject, IOleObject),
        QITABENTMULTI2(FakeBrowser, IID_IDispatch, IWebBrowser2),
        QITABENTMULTI2(FakeBrowser, IID_IWebBrowser, IWebBrowser2),
        QITABENTMULTI2(FakeBrowser, IID_IWebBrowserApp, IWebBrowser2),
        QITABENTMULTI2(FakeBrowser, IID_IWebBrowser2, IWebBrowser2),
        {},
    };
    return table;
  }
  // Each query for the in-place object makes a new tear-off.
  STDMETHODIMP QueryInterface(REFIID iid, void **out) override {
    if (!out || (iid != IID_IOleWindow && iid != IID_IOleInPlaceObject)) return QueryTable(iid, out);
    *out = nullptr;
    auto *tearOff = new (std::nothrow) InPlaceTearOff(this);
    if (!tearOff) return E_OUTOFMEMORY;
    *out = static_cast<IOleInPlaceObject *>(tearOff);
    return S_OK;
  }

  void Deactivate() {
    Log("browser.InPlaceDeactivate");
    DeactivateInPlace();
  }

 protected:
  void OnActivated(IOleClientSite *site) override { Log("browser.ProbeSite " + ProbeSite(site)); }

 public:

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT *count) override {
    if (count) *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *) override {
    return E_NOTIMPL;
  }

  // IWebBrowser2: the two methods the host uses, the rest refused.
  STDMETHODIMP Navigate2(VARIANT *url, VARIANT *flags, VARIANT *target, VARIANT *postData, VARIANT *headers) override {
    Log("browser.Navigate2 url=" + Describe(url) + " flags=" + Describe(flags) + " target=" + Describe(target) +
        " post=" + Describe(postData) + " headers=" + Describe(headers));
    return S_OK;
  }
  STDMETHODIMP Quit() override {
    Log("browser.Quit");
    return S_OK;
  }
  STDMETHODIMP GoBack() override { return E_NOTIMPL; }
  STDMETHODIMP GoForward() override { return E_NOTIMPL; }
  STDMETHODIMP GoHome() override { return E_NOTIMPL; }
  STDMETHODIMP GoSearch() override { return E_NOTIMPL; }
  STDMETHODIMP Navigate(BSTR, VARIANT *, VARIANT *, VARIANT *, VARIANT *) override { return E_NOTIMPL; }
  STDMETHODIMP Refresh() override { return E_NOTIMPL; }
  STDMETHODIMP Refresh2(VARIANT *) override { return E_NOTIMPL; }
  STDMETHODIMP Stop() override { return E_NOTIMPL; }
  STDMETHODIMP get_Application(IDispatch **) override { return E_NOTIMPL; }
  STDMETHODIMP get_Parent(IDispatch **) override { return E_NOTIMPL; }
  STDMETHODIMP get_Container(IDispatch **) override { return E_NOTIMPL; }
  STDMETHODIMP get_Document(IDispatch **) override { return E_NOTIMPL; }
  STDMETHODIMP get_TopLevelContainer(VARIANT_BOOL *) override { return E_NOTIMPL; }
  STDMETHODIMP get_Type(BSTR *) override { return E_NOTIMPL; }
  STDMETHODIMP get_Left(LONG *) override { return E_NOTIMPL; }
  STDMETHODIMP put_Left(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP get_Top(LONG *) override { return E_NOTIMPL; }
  STDMETHODIMP put_Top(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP get_Width(LONG *) override { return E_NOTIMPL; }
  STDMETHODIMP put_Width(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP get_Height(LONG *) override { return E_NOTIMPL; }
  STDMETHODIMP put_Height(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP get_LocationName(BSTR *) override { return E_NOTIMPL; }
  STDMETHODIMP get_LocationURL(BSTR *) override { return E_NOTIMPL; }
  STDMETHODIMP get_Busy(VARIANT_BOOL *) override { return E_NOTIMPL; }
  STDMETHODIMP ClientToWindow(int *, int *) override { return E_NOTIMPL; }
  STDMETHODIMP PutProperty(BSTR, VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP GetProperty(BSTR, VARIANT *) override { return E_NOTIMPL; }
  STDMETHODIMP get_Name(BSTR *) override { return E_NOTIMPL; }
  STDMETHODIMP get_HWND(SHANDLE_PTR *) override { return E_NOTIMPL; }
  STDMETHODIMP get_FullName(BSTR *) override { return E_NOTIMPL; }
  STDMETHODIMP get_Path(BSTR *) override { return E_NOTIMPL; }
  STDMETHODIMP get_Visible(VARIANT_BOOL *) override { return E_NOTIMPL; }
  STDMETHODIMP put_Visible(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP get_StatusBar(VARIANT_BOOL *) override { return E_NOTIMPL; }
  STDMETHODIMP put_StatusBar(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP get_StatusText(BSTR *) override { return E_NOTIMPL; }
  STDMETHODIMP put_StatusText(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP get_ToolBar(int *) override { return E_NOTIMPL; }
  STDMETHODIMP put_ToolBar(int) override { return E_NOTIMPL; }
  STDMETHODIMP get_MenuBar(VARIANT_BOOL *) override { return E_NOTIMPL; }
  STDMETHODIMP put_MenuBar(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP get_FullScreen(VARIANT_BOOL *) override { return E_NOTIMPL; }
  STDMETHODIMP put_FullScreen(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP QueryStatusWB(OLECMDID, OLECMDF *) override { return E_NOTIMPL; }
  STDMETHODIMP ExecWB(OLECMDID, OLECMDEXECOPT, VARIANT *, VARIANT *) override { return E_NOTIMPL; }
  STDMETHODIMP ShowBrowserBar(VARIANT *, VARIANT *, VARIANT *) override { return E_NOTIMPL; }
  STDMETHODIMP get_ReadyState(READYSTATE *) override { return E_NOTIMPL; }
  STDMETHODIMP get_Offline(VARIANT_BOOL *) override { return E_NOTIMPL; }
  STDMETHODIMP put_Offline(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP get_Silent(VARIANT_BOOL *) override { return E_NOTIMPL; }
  STDMETHODIMP put_Silent(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP get_RegisterAsBrowser(VARIANT_BOOL *) override { return E_NOTIMPL; }
  STDMETHODIMP put_RegisterAsBrowser(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP get_RegisterAsDropTarget(VARIANT_BOOL *) override { return E_NOTIMPL; }
  STDMETHODIMP put_RegisterAsDropTarget(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP get_TheaterMode(VARIANT_BOOL *) override { return E_NOTIMPL; }
  STDMETHODIMP put_TheaterMode(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP get_AddressBar(VARIANT_BOOL *) override { return E_NOTIMPL; }
  STDMETHODIMP put_AddressBar(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP get_Resizable(VARIANT_BOOL *) override { return E_NOTIMPL; }
  STDMETHODIMP put_Resizable(VARIANT_BOOL) override { return E_NOTIMPL; }
};

InPlaceTearOff::InPlaceTearOff(FakeBrowser *owner) : owner_(owner) {
  owner_->AddRef();
  ++g_objects;
}
InPlaceTearOff::~InPlaceTearOff() {
  owner_->Release();
  --g_objects;
}
// Every other interface, IUnknown included, is the browser's.
STDMETHODIMP InPlaceTearOff::QueryInterface(REFIID iid, void **out) {
  if (!out) return E_POINTER;
  if (iid == IID_IOleWindow || iid == IID_IOleInPlaceObject) return QueryTable(iid, out);
  return owner_->QueryInterface(iid, out);
}
// A real control tells its in-place site at once, and the site may let go of
// this very object while the call runs.
STDMETHODIMP InPlaceTearOff::InPlaceDeactivate() {
  ++calls_;
  owner_->Deactivate();
  return Leave(S_OK);
}

Factory<FakeBrowser> g_browserFactory;

}  // namespace

IClassFactory *BrowserFactory() { return &g_browserFactory; }

}  // namespace fake_controls
