// Owners of GDI+: the library's start-up, and the pictures and drawing
// surfaces it hands out, which must all be gone before it shuts down.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include "helper/scoped_handle.h"

namespace quillet {

// GDI+ started for the owner's lifetime, or not at all.
class GdiplusSession {
 public:
  explicit GdiplusSession(bool start) {
    if (!start) return;
    Gdiplus::GdiplusStartupInput input;  // version 1, no callback, background thread, external codecs
    started_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
  }
  ~GdiplusSession() {
    if (started_) Gdiplus::GdiplusShutdown(token_);
  }
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;

 private:
  ULONG_PTR token_ = 0;
  bool started_ = false;
};

struct GdiplusImageTraits {
  using Handle = Gdiplus::GpImage*;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { Gdiplus::DllExports::GdipDisposeImage(handle); }
};

struct GdiplusGraphicsTraits {
  using Handle = Gdiplus::GpGraphics*;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle handle) { Gdiplus::DllExports::GdipDeleteGraphics(handle); }
};

using UniqueGdiplusImage = ScopedHandle<GdiplusImageTraits>;
using UniqueGdiplusGraphics = ScopedHandle<GdiplusGraphicsTraits>;

}  // namespace quillet
