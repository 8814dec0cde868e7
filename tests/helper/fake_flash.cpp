// The stand-in Flash control: LoadMovie and CallFunction through its dual
// interface, logged; CallFunction fails as a movie not yet running would when
// QUILLET_FAKE_FAIL_CALL=1.
#include <windows.h>
#include <ole2.h>

#include <string>

#include "helper/com_object.h"
#include "tests/helper/fake_controls.h"

namespace fake_controls {
namespace {

// The Flash control's dual interface, which the host asks for.
const IID IID_IShockwaveFlash = {0xd27cdb6c, 0xae6d, 0x11cf, {0x96, 0xb8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

constexpr DISPID kDispLoadMovie = 0x8e;
constexpr DISPID kDispCallFunction = 0xc6;

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

Factory<FakeFlash> g_flashFactory;

}  // namespace

IClassFactory *FlashFactory() { return &g_flashFactory; }

}  // namespace fake_controls
