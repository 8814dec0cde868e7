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
//
// What the stand-ins share: the log, the counts, the references held on the
// host's objects, the OLE object both derive from and their class factory.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <atomic>
#include <string>

namespace fake_controls {

// Owned by the DLL's entry points (fake_controls.cpp), which report them at detach.
extern std::atomic<long> g_objects;   // stand-in objects alive, with LockServer's locks
extern std::atomic<long> g_hostRefs;  // references held on the host's objects

std::string Utf8(const wchar_t *text);
// Appends "<process id> <milliseconds> <line>" to the file QUILLET_TEST_LOG names.
void Log(const std::string &line);
// "<vt>:<value>" for the variant kinds the host passes, "null" for no variant.
std::string Describe(const VARIANT *v);
std::string Describe(const RECT *r);
std::string ClassOf(HWND window);
std::string Hex(HRESULT hr);

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
  explicit FakeOleObject(const char *name);
  virtual ~FakeOleObject();

  STDMETHODIMP SetClientSite(IOleClientSite *site) override;
  STDMETHODIMP GetClientSite(IOleClientSite **site) override;
  STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP Close(DWORD) override;
  STDMETHODIMP SetMoniker(DWORD, IMoniker *) override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker **) override { return E_NOTIMPL; }
  STDMETHODIMP InitFromData(IDataObject *, BOOL, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetClipboardData(DWORD, IDataObject **) override { return E_NOTIMPL; }
  STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite *site, LONG, HWND parent, LPCRECT rect) override;
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
  void DeactivateInPlace();
  virtual void OnActivated(IOleClientSite *) {}

  const char *name_;
  HostRef<IOleClientSite> site_;
  HostRef<IOleInPlaceSite> inPlaceSite_;

 private:
  // What a control asks of its container to go in-place active, and what it
  // got: "inplace=<ok|...> usermode=<ambient> window=<class> frame=<class> pos=<rect>".
  std::string ActivateInPlace(IOleClientSite *site);
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

// The factories DllGetClassObject hands out, one per stand-in.
IClassFactory *BrowserFactory();
IClassFactory *FlashFactory();

}  // namespace fake_controls
