// Quillet's owners of Windows handles, one type per kind, so that each is
// closed by its own function and tested against its own invalid value.
// Moving is allowed, copying is not. Owners declared together are closed in
// the reverse order of their declaration, which is how the program states its
// shutdown order.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace quillet {

template <typename Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() = default;
  explicit ScopedHandle(Handle handle) : handle_(handle) {}
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { reset(); }

  explicit operator bool() const { return handle_ != Traits::Invalid(); }
  Handle get() const { return handle_; }

  Handle release() { return std::exchange(handle_, Traits::Invalid()); }
  // Closes the handle held, if any, and holds `handle` instead. The old handle
  // is let go of before it is closed, so a close that calls back (a window
  // being destroyed) finds the owner already empty.
  void reset(Handle handle = Traits::Invalid()) {
    Handle old = std::exchange(handle_, handle);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  Handle handle_ = Traits::Invalid();
};

struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { CloseHandle(handle); }
};

struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { CloseHandle(handle); }
};

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

struct RegistryKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { RegCloseKey(handle); }
};

// Brushes, pens, fonts, bitmaps: whatever DeleteObject frees.
struct GdiObjectTraits {
  using Handle = HGDIOBJ;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { DeleteObject(handle); }
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

using UniqueHandle = ScopedHandle<KernelHandleTraits>;  // processes, threads
using UniqueFile = ScopedHandle<FileHandleTraits>;      // CreateFile
using UniqueWindow = ScopedHandle<WindowTraits>;
using UniqueGlobal = ScopedHandle<GlobalMemoryTraits>;  // GlobalAlloc
using UniqueKey = ScopedHandle<RegistryKeyTraits>;
using UniqueGdiObject = ScopedHandle<GdiObjectTraits>;
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
