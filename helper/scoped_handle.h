// Quillet's owners of Windows handles: the updater's ScopedHandle with the
// kinds only Quillet holds (windows, memory blocks, memory DCs, BSTRs), and
// owners of a window's DC, a VARIANT and the COM apartment.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "updater/base/scoped_handle.h"

namespace quillet {

// The one ScopedHandle of both programs, and the kinds they share.
using ::ScopedHandle;
using ::UniqueFile;    // CreateFile
using ::UniqueHandle;  // processes, threads
using UniqueKey = ::UniqueRegistryKey;
using UniqueGdiObject = ::ScopedHandle<::GdiObjectTraits<HGDIOBJ>>;  // brushes, pens, fonts, bitmaps

struct WindowTraits {
  using Handle = HWND;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { DestroyWindow(handle); }
};

struct GlobalMemoryTraits {
  using Handle = HGLOBAL;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { GlobalFree(handle); }
};

// A device context of CreateCompatibleDC; a window's own is a WindowDC.
struct MemoryDcTraits {
  using Handle = HDC;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { DeleteDC(handle); }
};

struct BstrTraits {
  using Handle = BSTR;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { SysFreeString(handle); }
};

using UniqueWindow = ScopedHandle<WindowTraits>;
using UniqueGlobal = ScopedHandle<GlobalMemoryTraits>;  // GlobalAlloc
using UniqueMemoryDc = ScopedHandle<MemoryDcTraits>;
using UniqueBstr = ScopedHandle<BstrTraits>;

// A window's device context from GetDC, given back with ReleaseDC.
class WindowDc {
 public:
  explicit WindowDc(HWND window) : window_(window), dc_(GetDC(window)) {}
  ~WindowDc() {
    if (dc_) ReleaseDC(window_, dc_);
  }
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;

  explicit operator bool() const { return dc_ != nullptr; }
  HDC get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// A VARIANT that is cleared when it goes, whatever it holds by then.
class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&value_); }
  ~ScopedVariant() { VariantClear(&value_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;

  // Takes `text`, which is null when its allocation failed.
  void SetBstr(UniqueBstr text) {
    VariantClear(&value_);
    V_VT(&value_) = VT_BSTR;
    V_BSTR(&value_) = text.release();
  }
  void SetInt(VARTYPE type, LONG number) {
    VariantClear(&value_);
    V_VT(&value_) = type;  // VT_I4 or VT_INT, which share their storage
    V_I4(&value_) = number;
  }
  bool HoldsText() const { return V_VT(&value_) == VT_BSTR && V_BSTR(&value_) != nullptr; }

  VARIANT* get() { return &value_; }

 private:
  VARIANT value_;
};

// The calling thread's single-threaded COM apartment, for the owner's lifetime.
// Every CoInitialize is paired with a CoUninitialize, whatever it returned.
class ComApartment {
 public:
  ComApartment() { CoInitialize(nullptr); }
  ~ComApartment() { CoUninitialize(); }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
};

}  // namespace quillet
