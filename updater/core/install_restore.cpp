#include "updater/core/install_restore.h"

#include <windows.h>

#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/core/install_paths.h"
#include "updater/core/update_job.h"

namespace {

DWORD Attributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }

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

bool PutFileInPlace(const std::string& source, const std::string& destination,
                    const std::function<bool()>& beforeAside, const std::function<bool()>& afterAside) {
  if (IsFolder(destination)) return false;
  ClearReadOnly(destination);
  if (CopyFileA(source.c_str(), destination.c_str(), FALSE)) return true;

  // A file in use cannot be overwritten but can usually be renamed: it stays
  // beside the new one as .bak until a later update replaces it again.
  if (beforeAside && !beforeAside()) return false;
  const std::string aside = destination + ".bak";
  if (!IsFolder(aside)) {
    ClearReadOnly(aside);
    DeleteFileA(aside.c_str());
    if (MoveFileA(destination.c_str(), aside.c_str()) && afterAside && !afterAside()) return false;
  }
  return CopyFileA(source.c_str(), destination.c_str(), FALSE) != 0;
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
  // A copy cut short here is a prefix of the backup copy, which stays: the
  // next play-back knows it as its own and copies again.
  ClearReadOnly(destination);
  return done("backup copied back",
              CopyFileA(backupCopy.c_str(), destination.c_str(), FALSE) && FlushFileToDisk(destination));
}
