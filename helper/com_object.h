#pragma once
// The IUnknown of a COM object made here, written once: one reference count
// (the object starts with the creator's reference and deletes itself at zero)
// and QueryInterface answered by QISearch from the class's table. A class
// derives from ComObject<Self, Bases...> and gives
//   static const QITAB* InterfaceTable();
// with one entry per interface (QITABENTMULTI2, naming the IID constant, for
// mingw links no __uuidof) and an empty one at the end; the first entry also
// answers IID_IUnknown, so it names the object's identity.

#include <windows.h>
#include <shlwapi.h>

#include <utility>

template <typename Self, typename First, typename... Rest>
class ComObject : public First, public Rest... {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    return QISearch(static_cast<Self*>(this), Self::InterfaceTable(), iid, out);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = static_cast<ULONG>(InterlockedDecrement(&refs_));
    if (left == 0) LastReleased();
    return left;
  }

 protected:
  template <typename... Args>
  explicit ComObject(Args&&... args) : First(std::forward<Args>(args)...) {}
  virtual ~ComObject() = default;
  // The last reference is gone. An object that may be inside one of its own
  // calls then defers its end.
  virtual void LastReleased() { delete this; }
  // Refers to the class's own QueryInterface before any override of it.
  HRESULT QueryTable(REFIID iid, void** out) { return ComObject::QueryInterface(iid, out); }

 private:
  LONG refs_ = 1;
};
