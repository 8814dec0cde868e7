#include "updater/core/file_version.h"

#include <cstdio>
#include <vector>

bool ReadFileVersion(const std::string& path, FileVersion& version) {
  for (BYTE& part : version.parts) part = 0;

  char modulePath[512] = {};
  std::string file = path;
  if (file.empty()) {
    DWORD length = GetModuleFileNameA(nullptr, modulePath, sizeof(modulePath));
    if (length == 0 || length >= sizeof(modulePath)) return false;
    file = modulePath;
  }

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<BYTE> block(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoLength = 0;
  if (GetFileVersionInfoA(file.c_str(), 0, size, block.data()) &&
      VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &infoLength) && info &&
      infoLength >= sizeof(VS_FIXEDFILEINFO)) {
    // Each part keeps only its low 8 bits.
    version.parts[0] = static_cast<BYTE>(HIWORD(info->dwFileVersionMS) & 0xFF);
    version.parts[1] = static_cast<BYTE>(LOWORD(info->dwFileVersionMS) & 0xFF);
    version.parts[2] = static_cast<BYTE>(HIWORD(info->dwFileVersionLS) & 0xFF);
    version.parts[3] = static_cast<BYTE>(LOWORD(info->dwFileVersionLS) & 0xFF);
  }

  char text[32];
  std::snprintf(text, sizeof(text), "%i.%i.%i.%i", version.parts[0], version.parts[1], version.parts[2],
                version.parts[3]);
  version.text = text;
  version.packed = static_cast<DWORD>(version.parts[0]) << 24 | static_cast<DWORD>(version.parts[1]) << 16 |
                   static_cast<DWORD>(version.parts[2]) << 8 | version.parts[3];
  return true;
}
