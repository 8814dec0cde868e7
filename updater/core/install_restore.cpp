#include "updater/core/install_restore.h"

#include <windows.h>

#include <cstdint>

#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/core/install_paths.h"
#include "updater/core/update_job.h"

namespace {

DWORD Attributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }

bool IdentityOfHandle(HANDLE file, install_journal::PlacedFile& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity.lastWrite = (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                       info.ftLastWriteTime.dwLowDateTime;
  return true;
}

// Copies source over destination by way of a work name beside it: flushed,
// then renamed, so the destination holds the old file or the whole copy. The
// destination goes first when the copy finds no room beside it.
bool CopyBackThroughWorkName(const std::string& source, const std::string& destination) {
  const std::string work = destination + "." + install_paths::kPartialCopyName;
  auto copy = [&] {
    ClearReadOnly(work);
    if (CopyFileA(source.c_str(), work.c_str(), FALSE) && FlushFileToDisk(work)) return true;
    const DWORD error = GetLastError();
    DeleteFileA(work.c_str());
    SetLastError(error);
    return false;
  };
  if (!copy()) {
    const DWORD error = GetLastError();
    if (error != ERROR_DISK_FULL && error != ERROR_HANDLE_DISK_FULL) return false;
    ClearReadOnly(destination);
    if (!DeleteFileA(destination.c_str()) || !copy()) return false;
  }
  ClearReadOnly(destination);
  return MoveFileExA(work.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace

bool IsFile(const std::string& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void ClearReadOnly(const std::string& path) {
  const DWORD attributes = Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

bool FlushFileToDisk(const std::string& path) {
  UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && FlushFileBuffers(file.get());
}

bool IdentifyPlacedFile(HANDLE file, install_journal::PlacedFile& identity) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return SetFileTime(file, nullptr, nullptr, &now) && IdentityOfHandle(file, identity);
}

bool IdentityOf(const std::string& path, install_journal::PlacedFile& identity) {
  UniqueFile file(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && IdentityOfHandle(file.get(), identity);
}

bool NobodyHasOpen(const std::string& path) {
  // Sharing nothing, the open succeeds only when no other handle is open.
  if (!UniqueFile(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)))
    return false;
  // A running program (this updater itself) may hold its file only through its
  // image mapping, which no share mode reveals (Wine), yet the file is refused
  // to writers. Moved into a work folder, it would keep that folder alive.
  const UniqueFile writable(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return writable || GetLastError() != ERROR_SHARING_VIOLATION;
}

bool MoveFileInPlace(const std::string& source, const std::string& destination) {
  if (IsFolder(destination)) return false;
  if (!IsFile(destination)) return MoveFileExA(source.c_str(), destination.c_str(), 0) != 0;
  if (!NobodyHasOpen(destination)) return false;
  ClearReadOnly(destination);
  return MoveFileExA(source.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

namespace {

// Moves a file in use out of destination's way, to a name in a work folder.
bool SetAside(const std::string& destination, const std::string& setAside) {
  if (!CreateFolderPath(install_paths::ParentPath(setAside))) return false;
  ClearReadOnly(setAside);
  DeleteFileA(setAside.c_str());
  return MoveFileExA(destination.c_str(), setAside.c_str(), 0) != 0;
}

}  // namespace

bool RestoreDestination(const std::string& destination, const std::string& backupCopy,
                        const std::string& aside, bool existed, const std::string& setAside) {
  // Written at every way out, with what was done and how it went.
  run_log::Event step("restore");
  step.Add("file", destination).Add("existed", existed);
  auto done = [&step](const char* action, bool ok) {
    step.Add("action", action).Add("ok", ok);
    if (!ok) step.Error(GetLastError());
    return ok;
  };
  // The run never puts a file where a folder is: the folder is not its doing.
  if (IsFolder(destination)) return done("none, a folder is there", true);
  if (!aside.empty() && IsFile(aside)) {
    ClearReadOnly(destination);
    if (MoveFileExA(aside.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      return done("aside file moved back", true);
    }
    step.Add("aside_back", false).Error(GetLastError());
  }
  if (!existed) {
    if (!IsFile(destination)) return done("none, no new file", true);
    ClearReadOnly(destination);
    return done("new file deleted", DeleteFileA(destination.c_str()) != 0);
  }
  // Without its backup copy the destination was never changed, or has its
  // old file back already.
  if (!IsFile(backupCopy)) return done("none, no backup copy", true);
  if (MoveFileInPlace(backupCopy, destination)) return done("backup moved back", true);
  if (IsFile(destination) && SetAside(destination, setAside) &&
      MoveFileExA(backupCopy.c_str(), destination.c_str(), 0)) {
    return done("new file set aside, backup moved back", true);
  }
  // The backup copy stays until the journal goes: a copy cut short is
  // simply made again by the next play-back.
  return done("backup copied back", CopyBackThroughWorkName(backupCopy, destination));
}
