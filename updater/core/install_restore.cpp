#include "updater/core/install_restore.h"

#include <windows.h>

#include "updater/base/run_log.h"
#include "updater/core/install_paths.h"
#include "updater/core/work_folders.h"

namespace {

// Deletes a file of the restore's own, keeping the error of what failed.
void DropWorkCopy(const std::string& work) {
  const DWORD error = GetLastError();
  ClearReadOnly(work);
  DeleteFileA(work.c_str());
  SetLastError(error);
}

// Copies source over destination by way of a work name beside it, which the
// path rules leave room for: flushed, then renamed, so the destination holds
// the old file or the whole copy. The destination goes first when the copy
// finds no room beside it. A copy that cannot take the destination's place
// goes at once: it is not left in the client folder.
bool CopyBackThroughWorkName(const std::string& source, const std::string& destination) {
  const std::string work = destination + install_paths::kCopyBackSuffix;
  auto copy = [&] {
    ClearReadOnly(work);
    if (CopyFileA(source.c_str(), work.c_str(), FALSE) && FlushFileToDisk(work)) return true;
    DropWorkCopy(work);
    return false;
  };
  if (!copy()) {
    const DWORD error = GetLastError();
    if (error != ERROR_DISK_FULL && error != ERROR_HANDLE_DISK_FULL) return false;
    ClearReadOnly(destination);
    if (!DeleteFileA(destination.c_str()) || !copy()) return false;
  }
  ClearReadOnly(destination);
  if (MoveFileExA(work.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  DropWorkCopy(work);
  return false;
}

// Moves a file in use out of destination's way, to a name in a work folder.
bool SetAside(const std::string& destination, const std::string& setAside) {
  if (!CreateFolderPath(install_paths::ParentPath(setAside))) return false;
  ClearReadOnly(setAside);
  DeleteFileA(setAside.c_str());
  return MoveFileExA(destination.c_str(), setAside.c_str(), 0) != 0;
}

}  // namespace

void RemoveCopyBackLeftovers(const std::string& destination) {
  for (const std::string& work :
       {destination + install_paths::kCopyBackSuffix, destination + "." + install_paths::kPartialCopyName}) {
    if (!IsFile(work)) continue;
    ClearReadOnly(work);
    run_log::Event removed("restore_leftover");
    removed.Add("file", work);
    if (!DeleteFileA(work.c_str())) removed.Error(GetLastError()).Failed("delete");
  }
}

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
