// The stand-ins' DLL: the class factories by CLSID, registration under the
// ProgIDs the host creates, and the counts reported when the DLL goes.
#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <atomic>
#include <string>

#include "helper/scoped_handle.h"
#include "tests/helper/fake_controls.h"

namespace fake_controls {

std::atomic<long> g_objects{0};
std::atomic<long> g_hostRefs{0};

}  // namespace fake_controls

namespace {

using fake_controls::g_hostRefs;
using fake_controls::g_objects;
using fake_controls::Log;
using quillet::UniqueKey;

HMODULE g_module = nullptr;

// {F1D669FB-1A7B-4C6A-BBF0-94165E28DA11}
const CLSID CLSID_FakeBrowser = {0xf1d669fb, 0x1a7b, 0x4c6a, {0xbb, 0xf0, 0x94, 0x16, 0x5e, 0x28, 0xda, 0x11}};
// {8203D261-2C30-4B32-8FAD-72A60B994BD4}
const CLSID CLSID_FakeFlash = {0x8203d261, 0x2c30, 0x4b32, {0x8f, 0xad, 0x72, 0xa6, 0x0b, 0x99, 0x4b, 0xd4}};

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
  if (clsid == CLSID_FakeBrowser) return fake_controls::BrowserFactory()->QueryInterface(iid, out);
  if (clsid == CLSID_FakeFlash) return fake_controls::FlashFactory()->QueryInterface(iid, out);
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
