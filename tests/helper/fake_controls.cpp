// Stand-ins for the web browser and Flash Player controls, for Quillet's tests
// under Wine. One in-process COM server registers both under the ProgIDs
// "shell.Explorer.1" and "ShockwaveFlash.ShockwaveFlash" (in HKLM, which is
// where Wine looks) with CLSIDs of its own. Every call that matters is appended
// as a line to the file named by QUILLET_TEST_LOG:
//   <process id> <milliseconds> <object>.<method> <arguments>
// QUILLET_FAKE_FAIL_CALL=1 makes CallFunction fail as a movie that is not
// running yet would.
//
// The stand-ins count the objects they create and still hold, and the
// references they hold on the host's objects: "<object>.Destroyed" when a
// control goes, "dll.Detach objects=<n> hostrefs=<n> ..." when the DLL is
// unloaded (by COM once nothing of it is alive, or else at process exit).
// When a control lets go of its client site it logs how many references the
// site reports left. The browser's IOleInPlaceObject is a tear-off with a
// count of its own, as in many real controls, so a host that lets go of it
// while calling it frees it in the middle of the call; that is logged. The
// detach line also gives how many of Quillet's main windows the process still
// has ("mainwindows=<n>"): the window must be gone before COM shuts down.
#include <windows.h>
#include <ole2.h>
#include <docobj.h>
#include <exdisp.h>
#include <mshtmhst.h>
#include <olectl.h>
#include <servprov.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>
#include <new>
#include <string>

#include "helper/com_object.h"
#include "helper/scoped_handle.h"

namespace {

using Microsoft::WRL::ComPtr;
using quillet::ScopedVariant;
using quillet::UniqueFile;
using quillet::UniqueKey;

HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};    // stand-in objects alive, with LockServer's locks
std::atomic<long> g_hostRefs{0};   // references held on the host's objects

// {F1D669FB-1A7B-4C6A-BBF0-94165E28DA11}
const CLSID CLSID_FakeBrowser = {0xf1d669fb, 0x1a7b, 0x4c6a, {0xbb, 0xf0, 0x94, 0x16, 0x5e, 0x28, 0xda, 0x11}};
// {8203D261-2C30-4B32-8FAD-72A60B994BD4}
const CLSID CLSID_FakeFlash = {0x8203d261, 0x2c30, 0x4b32, {0x8f, 0xad, 0x72, 0xa6, 0x0b, 0x99, 0x4b, 0xd4}};
// The Flash control's dual interface, which the host asks for.
const IID IID_IShockwaveFlash = {0xd27cdb6c, 0xae6d, 0x11cf, {0x96, 0xb8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

constexpr DISPID kDispLoadMovie = 0x8e;
constexpr DISPID kDispCallFunction = 0xc6;

std::string Utf8(const wchar_t *text) {
  if (!text) return "(null)";
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  return out;
}

void Log(const std::string &line) {
  wchar_t path[MAX_PATH];
  if (!GetEnvironmentVariableW(L"QUILLET_TEST_LOG", path, MAX_PATH)) return;
  const UniqueFile file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  char head[64];
  std::snprintf(head, sizeof head, "%lu %llu ", GetCurrentProcessId(), (unsigned long long)GetTickCount64());
  const std::string text = head + line + "\n";
  DWORD written = 0;
  WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// "<vt>:<value>" for the variant kinds the host passes, "null" for no variant.
std::string Describe(const VARIANT *v) {
  if (!v) return "null";
  char buf[64];
  switch (V_VT(v)) {
    case VT_BSTR:
      return "8:" + Utf8(V_BSTR(v));
    case VT_I4:
    case VT_INT:
      std::snprintf(buf, sizeof buf, "%d:%ld", V_VT(v), static_cast<long>(V_I4(v)));
      return buf;
    default:
      std::snprintf(buf, sizeof buf, "%d:?", V_VT(v));
      return buf;
  }
}

std::string Describe(const RECT *r) {
  if (!r) return "null";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%ld,%ld,%ld,%ld", r->left, r->top, r->right, r->bottom);
  return buf;
}

std::string ClassOf(HWND window) {
  wchar_t name[128] = L"";
  if (!window || !GetClassNameW(window, name, 128)) return "none";
  return Utf8(name);
}

std::string Hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08lx", static_cast<unsigned long>(hr));
  return buf;
}

// A reference held on one of the host's objects, counted in g_hostRefs.
template <typename T>
class HostRef {
 public:
  HostRef() = default;
  ~HostRef() { Reset(); }
  HostRef(const HostRef &) = delete;
  HostRef &operator=(const HostRef &) = delete;

  void Set(T *object) {
    if (object) {
      object->AddRef();
      ++g_hostRefs;
    }
    Reset();
    ptr_ = object;
  }
  // Lets go; returns the count the host's object reports left, -1 when none was held.
  long Reset() {
    if (!ptr_) return -1;
    T *object = ptr_;
    ptr_ = nullptr;
    --g_hostRefs;
    return static_cast<long>(object->Release());
  }
  T *get() const { return ptr_; }

 private:
  T *ptr_ = nullptr;
};

// The part of an OLE control both stand-ins share: the client site and the
// in-place activation a real control performs, reported to the log.
class FakeOleObject : public IOleObject {
 public:
  explicit FakeOleObject(const char *name) : name_(name) { ++g_objects; }
  virtual ~FakeOleObject() {
    Log(std::string(name_) + ".Destroyed");
    --g_objects;
  }

  STDMETHODIMP SetClientSite(IOleClientSite *site) override {
    if (site) {
      Log(std::string(name_) + ".SetClientSite set");
      site_.Set(site);
    } else {
      const long left = site_.Reset();
      Log(std::string(name_) + ".SetClientSite null site-left=" + std::to_string(left));
    }
    return S_OK;
  }
  STDMETHODIMP GetClientSite(IOleClientSite **site) override {
    if (!site) return E_POINTER;
    *site = site_.get();
    if (*site) (*site)->AddRef();
    return S_OK;
  }
  STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  // As a real control does, a close first leaves in-place activation.
  STDMETHODIMP Close(DWORD) override {
    Log(std::string(name_) + ".Close");
    DeactivateInPlace();
    return S_OK;
  }
  STDMETHODIMP SetMoniker(DWORD, IMoniker *) override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker **) override { return E_NOTIMPL; }
  STDMETHODIMP InitFromData(IDataObject *, BOOL, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetClipboardData(DWORD, IDataObject **) override { return E_NOTIMPL; }
  STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite *site, LONG, HWND parent, LPCRECT rect) override {
    std::string line = std::string(name_) + ".DoVerb " + std::to_string(verb) + " parent=" + ClassOf(parent) +
                       " rect=" + Describe(rect);
    if (verb == OLEIVERB_INPLACEACTIVATE && site) line += " " + ActivateInPlace(site);
    Log(line);
    if (verb == OLEIVERB_INPLACEACTIVATE && site) OnActivated(site);
    return S_OK;
  }
  STDMETHODIMP EnumVerbs(IEnumOLEVERB **) override { return E_NOTIMPL; }
  STDMETHODIMP Update() override { return S_OK; }
  STDMETHODIMP IsUpToDate() override { return S_OK; }
  STDMETHODIMP GetUserClassID(CLSID *) override { return E_NOTIMPL; }
  STDMETHODIMP GetUserType(DWORD, LPOLESTR *) override { return E_NOTIMPL; }
  STDMETHODIMP SetExtent(DWORD, SIZEL *) override { return S_OK; }
  STDMETHODIMP GetExtent(DWORD, SIZEL *) override { return E_NOTIMPL; }
  STDMETHODIMP Advise(IAdviseSink *, DWORD *) override { return E_NOTIMPL; }
  STDMETHODIMP Unadvise(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP EnumAdvise(IEnumSTATDATA **) override { return E_NOTIMPL; }
  STDMETHODIMP GetMiscStatus(DWORD, DWORD *status) override {
    if (status) *status = OLEMISC_SETCLIENTSITEFIRST;
    return S_OK;
  }
  STDMETHODIMP SetColorScheme(LOGPALETTE *) override { return E_NOTIMPL; }

 protected:
  // Tells the in-place site, held since activation, that the control is no
  // longer active, and lets go of it.
  void DeactivateInPlace() {
    if (!inPlaceSite_.get()) return;
    inPlaceSite_.get()->OnInPlaceDeactivate();
    inPlaceSite_.Reset();
  }
  virtual void OnActivated(IOleClientSite *) {}

  const char *name_;
  HostRef<IOleClientSite> site_;
  HostRef<IOleInPlaceSite> inPlaceSite_;

 private:
  // What a control asks of its container to go in-place active, and what it
  // got: "inplace=<ok|...> usermode=<ambient> window=<class> frame=<class> pos=<rect>".
  std::string ActivateInPlace(IOleClientSite *site) {
    ComPtr<IOleInPlaceSite> inPlace;
    if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, &inPlace))) return "inplace=no-site";
    std::string result = "inplace=ok";
    if (inPlace->CanInPlaceActivate() != S_OK) result = "inplace=refused";
    HWND window = nullptr;
    inPlace->GetWindow(&window);
    inPlace->OnInPlaceActivate();
    ComPtr<IOleInPlaceFrame> frame;
    ComPtr<IOleInPlaceUIWindow> document;
    RECT position = {}, clip = {};
    OLEINPLACEFRAMEINFO info = {};
    info.cb = sizeof info;
    const HRESULT hr = inPlace->GetWindowContext(&frame, &document, &position, &clip, &info);
    if (FAILED(hr) || !frame) result = "inplace=no-frame";
    HWND frameWindow = nullptr;
    if (frame) {
      frame->GetWindow(&frameWindow);
      frame->SetActiveObject(nullptr, nullptr);
    }
    inPlaceSite_.Set(inPlace.Get());

    std::string usermode = "none";
    ComPtr<IDispatch> ambient;
    if (SUCCEEDED(site->QueryInterface(IID_IDispatch, &ambient))) {
      ScopedVariant v;
      DISPPARAMS none = {nullptr, nullptr, 0, 0};
      if (SUCCEEDED(ambient->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, v.get(),
                                    nullptr, nullptr)) &&
          V_VT(v.get()) == VT_BOOL)
        usermode = V_BOOL(v.get()) ? "1" : "0";
    }
    return result + " usermode=" + usermode + " window=" + ClassOf(window) + " frame=" + ClassOf(frameWindow) +
           " pos=" + Describe(&position);
  }
};

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

class FakeFlash final : public ComObject<FakeFlash, FakeOleObject, IDispatch> {
 public:
  FakeFlash() : ComObject("flash") {}

  static const QITAB *InterfaceTable() {
    static const QITAB table[] = {
        QITABENTMULTI2(FakeFlash, IID_IOleObject, IOleObject),
        QITABENTMULTI2(FakeFlash, IID_IDispatch, IDispatch),
        QITABENTMULTI2(FakeFlash, IID_IShockwaveFlash, IDispatch),
        {},
    };
    return table;
  }

  STDMETHODIMP GetTypeInfoCount(UINT *count) override {
    if (count) *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR *names, UINT count, LCID, DISPID *ids) override {
    if (count != 1 || !names || !ids) return E_INVALIDARG;
    if (lstrcmpiW(names[0], L"LoadMovie") == 0) {
      *ids = kDispLoadMovie;
    } else if (lstrcmpiW(names[0], L"CallFunction") == 0) {
      *ids = kDispCallFunction;
    } else {
      *ids = DISPID_UNKNOWN;
      return DISP_E_UNKNOWNNAME;
    }
    return S_OK;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS *params, VARIANT *result, EXCEPINFO *exception,
                      UINT *) override {
    if (!(flags & DISPATCH_METHOD) || !params) return DISP_E_MEMBERNOTFOUND;
    // Arguments come last first.
    if (id == kDispLoadMovie) {
      if (params->cArgs != 2) return DISP_E_BADPARAMCOUNT;
      Log("flash.LoadMovie layer=" + Describe(&params->rgvarg[1]) + " url=" + Describe(&params->rgvarg[0]));
      return S_OK;
    }
    if (id == kDispCallFunction) {
      if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
      Log("flash.CallFunction " + Describe(&params->rgvarg[0]));
      wchar_t fail[8];
      if (GetEnvironmentVariableW(L"QUILLET_FAKE_FAIL_CALL", fail, 8) && fail[0] == L'1') {
        if (exception) {
          *exception = EXCEPINFO{};
          exception->scode = E_FAIL;
          exception->bstrSource = SysAllocString(L"fake flash");
          exception->bstrDescription = SysAllocString(L"Error calling method on NPObject.");
        }
        return DISP_E_EXCEPTION;
      }
      if (result) {
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = SysAllocString(L"<undefined/>");
      }
      return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }
};

template <typename T>
class Factory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void **out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory *>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown *outer, REFIID iid, void **out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    T *object = new T;
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      ++g_objects;
    else
      --g_objects;
    return S_OK;
  }
};

Factory<FakeBrowser> g_browserFactory;
Factory<FakeFlash> g_flashFactory;

bool SetKey(const std::wstring &path, const wchar_t *name, const std::wstring &value) {
  HKEY created = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &created, nullptr))
    return false;
  const UniqueKey key(created);
  return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

std::wstring Text(const CLSID &clsid) {
  wchar_t text[40];
  StringFromGUID2(clsid, text, 40);
  return text;
}

bool RegisterClass(const CLSID &clsid, const wchar_t *progId, const std::wstring &module) {
  const std::wstring classes = L"Software\\Classes\\";
  const std::wstring clsidKey = classes + L"CLSID\\" + Text(clsid);
  return SetKey(classes + progId, nullptr, progId) && SetKey(classes + progId + L"\\CLSID", nullptr, Text(clsid)) &&
         SetKey(clsidKey, nullptr, progId) && SetKey(clsidKey + L"\\ProgID", nullptr, progId) &&
         SetKey(clsidKey + L"\\InprocServer32", nullptr, module) &&
         SetKey(clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
}

// Top-level windows of Quillet's main window class that this process still has.
int MainWindowsOfThisProcess() {
  int count = 0;
  EnumWindows(
      [](HWND window, LPARAM found) -> BOOL {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        wchar_t name[64] = L"";
        GetClassNameW(window, name, 64);
        if (process == GetCurrentProcessId() && lstrcmpW(name, L"254A67D0-9970-4856-B773-E2A99F85B19D") == 0)
          ++*reinterpret_cast<int *>(found);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&count));
  return count;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_module = instance;
  if (reason == DLL_PROCESS_DETACH) {
    Log("dll.Detach objects=" + std::to_string(g_objects.load()) + " hostrefs=" + std::to_string(g_hostRefs.load()) +
        " mainwindows=" + std::to_string(MainWindowsOfThisProcess()));
  }
  return TRUE;
}

__declspec(dllexport) HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void **out) {
  if (clsid == CLSID_FakeBrowser) return g_browserFactory.QueryInterface(iid, out);
  if (clsid == CLSID_FakeFlash) return g_flashFactory.QueryInterface(iid, out);
  if (out) *out = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}

__declspec(dllexport) HRESULT WINAPI DllCanUnloadNow() { return g_objects == 0 ? S_OK : S_FALSE; }

__declspec(dllexport) HRESULT WINAPI DllRegisterServer() {
  wchar_t module[MAX_PATH];
  if (!GetModuleFileNameW(g_module, module, MAX_PATH)) return SELFREG_E_CLASS;
  const bool ok = RegisterClass(CLSID_FakeBrowser, L"shell.Explorer.1", module) &&
                  RegisterClass(CLSID_FakeFlash, L"ShockwaveFlash.ShockwaveFlash", module);
  return ok ? S_OK : SELFREG_E_CLASS;
}

}  // extern "C"
