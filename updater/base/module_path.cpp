#include "updater/base/module_path.h"

#include <windows.h>

#include "updater/base/scoped_handle.h"

bool ReadModulePath(std::string& path) {
  char buffer[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  path.assign(buffer, length);
  return true;
}

bool FileFound(const std::string& path) {
  WIN32_FIND_DATAA found;
  if (!UniqueFind(FindFirstFileA(path.c_str(), &found))) return false;
  return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
