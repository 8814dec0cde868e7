// The OLE object both stand-ins derive from: the client site, and in-place
// activation as a real control performs it.
#include <windows.h>
#include <ole2.h>
#include <olectl.h>
#include <wrl/client.h>

#include <string>

#include "helper/scoped_handle.h"
#include "tests/helper/fake_controls.h"

namespace fake_controls {

using Microsoft::WRL::ComPtr;
using quillet::ScopedVariant;

FakeOleObject::FakeOleObject(const char *name) : name_(name) { ++g_objects; }
FakeOleObject::~FakeOleObject() {
  Log(std::string(name_) + ".Destroyed");
  --g_objects;
}

STDMETHODIMP FakeOleObject::SetClientSite(IOleClientSite *site) {
  if (site) {
    Log(std::string(name_) + ".SetClientSite set");
    site_.Set(site);
  } else {
    const long left = site_.Reset();
    Log(std::string(name_) + ".SetClientSite null site-left=" + std::to_string(left));
  }
  return S_OK;
}

STDMETHODIMP FakeOleObject::GetClientSite(IOleClientSite **site) {
  if (!site) return E_POINTER;
  *site = site_.get();
  if (*site) (*site)->AddRef();
  return S_OK;
}

// As a real control does, a close first leaves in-place activation.
STDMETHODIMP FakeOleObject::Close(DWORD) {
  Log(std::string(name_) + ".Close");
  DeactivateInPlace();
  return S_OK;
}

STDMETHODIMP FakeOleObject::DoVerb(LONG verb, LPMSG, IOleClientSite *site, LONG, HWND parent, LPCRECT rect) {
  std::string line = std::string(name_) + ".DoVerb " + std::to_string(verb) + " parent=" + ClassOf(parent) +
                     " rect=" + Describe(rect);
  if (verb == OLEIVERB_INPLACEACTIVATE && site) line += " " + ActivateInPlace(site);
  Log(line);
  if (verb == OLEIVERB_INPLACEACTIVATE && site) OnActivated(site);
  return S_OK;
}

void FakeOleObject::DeactivateInPlace() {
  if (!inPlaceSite_.get()) return;
  inPlaceSite_.get()->OnInPlaceDeactivate();
  inPlaceSite_.Reset();
}

std::string FakeOleObject::ActivateInPlace(IOleClientSite *site) {
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

}  // namespace fake_controls
