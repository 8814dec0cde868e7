// The stand-ins' log: one line per call, and the text of what the host passed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "helper/scoped_handle.h"
#include "tests/helper/fake_controls.h"

namespace fake_controls {

using quillet::UniqueFile;

std::string Utf8(const wchar_t *text) {
  if (!text) return "(null)";
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  return out;
}

void Log(const std::string &line) {
  wchar_t path[MAX_PATH];
  if (!GetEnvironmentVariableW(L"QUILLET_TEST_LOG", path, MAX_PATH)) return;
  const UniqueFile file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  char head[64];
  std::snprintf(head, sizeof head, "%lu %llu ", GetCurrentProcessId(), (unsigned long long)GetTickCount64());
  const std::string text = head + line + "\n";
  DWORD written = 0;
  WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string Describe(const VARIANT *v) {
  if (!v) return "null";
  char buf[64];
  switch (V_VT(v)) {
    case VT_BSTR:
      return "8:" + Utf8(V_BSTR(v));
    case VT_I4:
    case VT_INT:
      std::snprintf(buf, sizeof buf, "%d:%ld", V_VT(v), static_cast<long>(V_I4(v)));
      return buf;
    default:
      std::snprintf(buf, sizeof buf, "%d:?", V_VT(v));
      return buf;
  }
}

std::string Describe(const RECT *r) {
  if (!r) return "null";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%ld,%ld,%ld,%ld", r->left, r->top, r->right, r->bottom);
  return buf;
}

std::string ClassOf(HWND window) {
  wchar_t name[128] = L"";
  if (!window || !GetClassNameW(window, name, 128)) return "none";
  return Utf8(name);
}

std::string Hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08lx", static_cast<unsigned long>(hr));
  return buf;
}

}  // namespace fake_controls
