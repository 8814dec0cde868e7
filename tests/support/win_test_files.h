#pragma once
// What the Windows tests share for their environment and their files: the
// test's environment variables, fresh folders and files under the temporary
// folder (unique to the process, removed afterwards), whole-file reads and
// writes, and a file held open the way a running program holds it.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace win_test {

// An environment variable set by the test's driver, or "" when unset.
inline std::string EnvText(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The Windows temporary folder, with its trailing backslash.
inline std::string TempFolder() {
  char folder[MAX_PATH] = {};
  const DWORD length = GetTempPathA(MAX_PATH, folder);
  EXPECT_TRUE(length != 0 && length < MAX_PATH);
  return folder;
}

inline bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot write " << path;
    return;
  }
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != bytes.size()) ADD_FAILURE() << "cannot write all of " << path;
}

// The file's bytes, or "<missing>" when it cannot be opened.
inline std::string ReadBytes(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

// Removes a test folder whatever it holds (read-only files included).
inline void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      const std::string child = path + "\\" + name;
      SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        DeleteFileA(child.c_str());
      }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryA(path.c_str());
}

// The names in a folder, sorted; none when it cannot be listed.
inline std::vector<std::string> EntriesOf(const std::string& path) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = entry.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &entry));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

// Makes the file size bytes long without writing them (a sparse tail).
inline void GrowFile(const std::string& path, LONGLONG size) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = size;
  const bool ok = file != INVALID_HANDLE_VALUE && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) &&
                  SetEndOfFile(file);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!ok) ADD_FAILURE() << "cannot grow " << path;
}

// A new, empty folder under the temporary folder; the caller removes it.
inline std::string UniqueFolder(const std::string& purpose) {
  static int counter = 0;
  std::string folder = TempFolder() + "mirelo-" + purpose + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(++counter);
  RemoveTree(folder);
  EXPECT_TRUE(CreateDirectoryA(folder.c_str(), nullptr)) << folder;
  return folder;
}

// Files written into the temporary folder for one test, under names unique to
// the process, and deleted when the test ends.
class TempFiles {
 public:
  explicit TempFiles(const std::string& stem)
      : prefix_(TempFolder() + stem + "_" + std::to_string(GetCurrentProcessId()) + "_") {}
  TempFiles(const TempFiles&) = delete;
  TempFiles& operator=(const TempFiles&) = delete;
  ~TempFiles() {
    for (const std::string& path : written_) DeleteFileA(path.c_str());
  }

  // The path a file called name would have; nothing is written.
  std::string Path(const std::string& name) const { return prefix_ + name; }

  // Writes data as the file called name and returns its path.
  std::string Write(const std::string& name, const std::string& data) {
    const std::string path = Path(name);
    WriteBytes(path, data);
    written_.push_back(path);
    return path;
  }

 private:
  std::string prefix_;
  std::vector<std::string> written_;
};

// Keeps a file open until destroyed, with the given sharing (FILE_SHARE_READ |
// FILE_SHARE_DELETE is how a running program holds a library it uses).
class HeldOpen {
 public:
  HeldOpen(const std::string& path, DWORD share)
      : handle_(CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr)) {
    if (handle_ == INVALID_HANDLE_VALUE) ADD_FAILURE() << "cannot hold " << path;
  }
  ~HeldOpen() { Release(); }
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;
  void Release() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

// Locates a test double built beside the test program (<build>/bin/fixtures).
inline std::string FixturePath(const std::string& relative) {
  char module[MAX_PATH];
  GetModuleFileNameA(nullptr, module, MAX_PATH);
  std::string folder = module;
  for (int up = 0; up < 4; ++up) {
    folder = folder.substr(0, folder.rfind('\\'));
    const std::string candidate = folder + "\\bin\\fixtures\\" + relative;
    if (Exists(candidate)) return candidate;
  }
  return std::string();
}

// A text value under HKEY_CURRENT_USER; "" when there is none.
inline std::string RegistryText(const char* subkey, const std::string& name) {
  char value[512] = "";
  DWORD size = sizeof(value);
  if (RegGetValueA(HKEY_CURRENT_USER, subkey, name.c_str(), RRF_RT_REG_SZ, nullptr, value, &size) !=
      ERROR_SUCCESS) {
    return std::string();
  }
  return value;
}

}  // namespace win_test
