#pragma once
// Owning wrappers of Windows handles, for both programs. Each kind of handle
// has its own type, so that it is closed by the right function and tested
// against the right invalid value (a file is invalid at INVALID_HANDLE_VALUE,
// a thread at null). Moving is allowed, copying is not. Owners declared
// together are closed in the reverse order of their declaration, which is how
// a program states its shutdown order.

#include <windows.h>

#include <utility>

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
  // Closes the handle held, if any, and holds handle instead. The old handle
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

struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { FindClose(handle); }
};

struct ModuleTraits {
  using Handle = HMODULE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { FreeLibrary(handle); }
};

struct RegistryKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { RegCloseKey(handle); }
};

// Fonts, bitmaps, brushes: every object DeleteObject frees.
template <typename Object>
struct GdiObjectTraits {
  using Handle = Object;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { DeleteObject(handle); }
};

// A cursor of one's own (CopyCursor, CreateCursor), never a shared one.
struct CursorTraits {
  using Handle = HCURSOR;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { DestroyCursor(handle); }
};

using UniqueHandle = ScopedHandle<KernelHandleTraits>;  // threads, events, mappings
using UniqueFile = ScopedHandle<FileHandleTraits>;      // CreateFile
using UniqueFind = ScopedHandle<FindHandleTraits>;      // FindFirstFile
using UniqueModule = ScopedHandle<ModuleTraits>;        // LoadLibrary
using UniqueRegistryKey = ScopedHandle<RegistryKeyTraits>;
using UniqueFont = ScopedHandle<GdiObjectTraits<HFONT>>;
using UniqueCursor = ScopedHandle<CursorTraits>;
