#pragma once
// The fixed file version of a module's version resource: the client's, which
// names the release it runs, and the updater's own, shown in its About box.

#include <windows.h>

#include <string>

struct FileVersion {
  BYTE parts[4] = {0, 0, 0, 0};
  DWORD packed = 0;
  std::string text;
};

// Reads the fixed file version of path (the updater itself when path is empty).
bool ReadFileVersion(const std::string& path, FileVersion& version);
