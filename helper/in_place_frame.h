#pragma once
// The in-place frame a hosted control sees: the top-level window of its host.
// A COM object of its own that answers only for the frame's interfaces. It has
// no menus, toolbars or status bar, so those requests are refused politely.
// The site holds the frame; the frame holds nothing.

#include <windows.h>
#include <ole2.h>
#include <oleidl.h>

#include "helper/com_object.h"

namespace quillet {

class InPlaceFrame final : public ComObject<InPlaceFrame, IOleInPlaceFrame> {
 public:
  explicit InPlaceFrame(HWND host) : host_(host) {}

  static const QITAB* InterfaceTable() {
    static const QITAB table[] = {
        QITABENTMULTI2(InPlaceFrame, IID_IOleInPlaceFrame, IOleInPlaceFrame),
        QITABENTMULTI2(InPlaceFrame, IID_IOleWindow, IOleInPlaceFrame),
        QITABENTMULTI2(InPlaceFrame, IID_IOleInPlaceUIWindow, IOleInPlaceFrame),
        {},
    };
    return table;
  }

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
  ~InPlaceFrame() override = default;

  HWND host_;
};

}  // namespace quillet
