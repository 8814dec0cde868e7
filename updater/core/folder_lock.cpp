#include "updater/core/folder_lock.h"

#include <windows.h>

#include <vector>

#include "updater/core/install_paths.h"
#include "updater/transfer/md5.h"

namespace {

// The folder's full path in UTF-16 with letters in capitals, as the file
// system compares names; empty when the path cannot be read.
std::wstring FoldedFullPath(const std::string& folder) {
  const int length = MultiByteToWideChar(CP_ACP, 0, folder.c_str(), -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::vector<wchar_t> wide(length);
  MultiByteToWideChar(CP_ACP, 0, folder.c_str(), -1, wide.data(), length);
  const DWORD fullLength = GetFullPathNameW(wide.data(), 0, nullptr, nullptr);
  if (fullLength == 0) return std::wstring();
  std::vector<wchar_t> full(fullLength);
  const DWORD written = GetFullPathNameW(wide.data(), fullLength, full.data(), nullptr);
  if (written == 0 || written >= fullLength) return std::wstring();
  CharUpperBuffW(full.data(), written);
  return std::wstring(full.data(), written);
}

// A mutex name holds no backslash and at most 260 characters, so the path is
// represented by its digest.
std::wstring LockName(const std::wstring& foldedPath) {
  Md5Context md5;
  md5.Update(foldedPath.data(), foldedPath.size() * sizeof(wchar_t));
  md5.Final();
  unsigned char digest[16];
  md5.GetDigest(digest);
  const std::string hex = FormatDigest(digest);
  return L"Torvane-" + std::wstring(hex.begin(), hex.end());
}

bool OpenLockFile(const std::string& lockPath, UniqueFile& file) {
  file.reset(CreateFileA(lockPath.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (file) return true;
  if (GetLastError() == ERROR_SHARING_VIOLATION) return false;
  // A read-only leftover, or an empty folder of that name, is no one's lock:
  // it goes, and the lock is made again. A holder's file cannot be removed
  // (it is open without sharing), so the second open then fails too.
  const DWORD attributes = GetFileAttributesA(lockPath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveDirectoryA(lockPath.c_str());
    } else {
      if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesA(lockPath.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
      DeleteFileA(lockPath.c_str());
    }
  }
  file.reset(CreateFileA(lockPath.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  return static_cast<bool>(file);
}

}  // namespace

bool FolderLock::Acquire(const std::string& folder) {
  std::string lockPath = folder;
  if (!lockPath.empty() && lockPath.back() != '\\') lockPath += '\\';
  lockPath += install_paths::kLockFileName;
  // Whatever the spelling, the file system finds the one lock file, and refuses
  // a second opener while the first holds it without sharing. Without that
  // file nothing else keeps two spellings of the folder apart, so a start that
  // cannot hold it does not run. A folder too deep for the file's path
  // cannot be updated at all: its run fails on the work folders' paths, with
  // the usual failure balloon, and the mutex alone guards it meanwhile.
  if (lockPath.size() <= kMaxPathChars && !OpenLockFile(lockPath, file_)) return false;

  const std::wstring path = FoldedFullPath(folder);
  if (path.empty()) return true;
  const std::wstring name = LockName(path);
  // Global: an updater started in another session for the same folder counts
  // too; a mutex made there by another user may refuse us access.
  for (const std::wstring& candidate : {L"Global\\" + name, L"Local\\" + name}) {
    SetLastError(ERROR_SUCCESS);
    mutex_.reset(CreateMutexW(nullptr, FALSE, candidate.c_str()));
    const DWORD error = GetLastError();
    if (mutex_) return error != ERROR_ALREADY_EXISTS;
    if (error == ERROR_ACCESS_DENIED) return false;
  }
  return true;
}
