#include "updater/core/install_restore.h"

#include <windows.h>

#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"

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
  return static_cast<bool>(UniqueFile(
      CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

bool MoveFileInPlace(const std::string& source, const std::string& destination) {
  if (IsFolder(destination)) return false;
  if (!IsFile(destination)) return MoveFileA(source.c_str(), destination.c_str()) != 0;
  if (!NobodyHasOpen(destination)) return false;
  ClearReadOnly(destination);
  return MoveFileExA(source.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool PutFileInPlace(const std::string& source, const std::string& destination,
                    const std::function<bool()>& beforeAside, const std::function<void()>& afterAside) {
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
    if (MoveFileA(destination.c_str(), aside.c_str()) && afterAside) afterAside();
  }
  return CopyFileA(source.c_str(), destination.c_str(), FALSE) != 0;
}

void RestoreDestination(const std::string& destination, const std::string& backupCopy,
                        const std::string& aside, bool existed, bool removeNewFile) {
  // Written at every way out, with what was done and how it went.
  run_log::Event step("restore");
  step.Add("file", destination).Add("existed", existed);
  if (IsFolder(destination)) return (void)step.Add("action", "none, a folder is there");
  if (!aside.empty() && IsFile(aside)) {
    ClearReadOnly(destination);
    if (MoveFileExA(aside.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING))
      return (void)step.Add("action", "aside file moved back");
    step.Add("aside_back", false).Error(GetLastError());
  }
  if (existed) {
    if (!IsFile(backupCopy)) return (void)step.Add("action", "none, no backup copy");
    if (MoveFileInPlace(backupCopy, destination)) return (void)step.Add("action", "backup moved back");
    const bool copied = PutFileInPlace(backupCopy, destination);
    step.Add("action", "backup copied back").Add("ok", copied);
    if (!copied) step.Error(GetLastError());
  } else if (removeNewFile && IsFile(destination)) {
    ClearReadOnly(destination);
    const bool deleted = DeleteFileA(destination.c_str()) != 0;
    step.Add("action", "new file deleted").Add("ok", deleted);
    if (!deleted) step.Error(GetLastError());
  }
}
