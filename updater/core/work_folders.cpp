#include "updater/core/work_folders.h"

#include <windows.h>

#include "updater/base/scoped_handle.h"
#include "updater/base/update_job_state.h"
#include "updater/core/install_paths.h"
#include "updater/core/placement.h"

namespace {

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

bool DeleteWorkFolder(const std::string& path) {
  // Recursive removal is only ever meant for the folders the pipeline owns;
  // the name test keeps a wrong or empty path from deleting an arbitrary
  // directory.
  if (path.find(install_paths::kBackupFolderName) == std::string::npos &&
      path.find(install_paths::kTempFolderName) == std::string::npos &&
      path.find(install_paths::kSetAsideFolderName) == std::string::npos &&
      path.find(install_paths::kKeptFolderName) == std::string::npos) {
    return false;
  }
  const std::string pattern = path + "\\*.*";
  if (pattern.size() > kMaxPathChars) return false;
  try {
    WIN32_FIND_DATAA entry;
    UniqueFind find(FindFirstFileA(pattern.c_str(), &entry));
    if (find) {
      do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..") continue;
        const std::string child = path + "\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
          // A link is removed itself; what it points at is not ours.
          if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveDirectoryA(child.c_str());
          } else {
            DeleteFileA(child.c_str());
          }
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          DeleteWorkFolder(child);
        } else {
          // A read-only copy never keeps a work folder alive.
          ClearReadOnly(child);
          DeleteFileA(child.c_str());
        }
      } while (FindNextFileA(find.get(), &entry));
    }
  } catch (...) {
    return false;
  }
  return RemoveDirectoryA(path.c_str()) != 0;
}

bool CreateFolderPath(const std::string& path) {
  std::string folder = path;
  if (!folder.empty() && folder.back() == '\\' &&
      install_paths::ParentPath(folder).size() == folder.size() - 1) {
    folder.pop_back();
  }
  if (Exists(folder)) return true;
  if (folder.empty()) return false;
  const std::string parent = install_paths::ParentPath(folder);
  if (!CreateFolderPath(parent)) return false;
  // The download queue's workers create the same folders at the same time as
  // the install loop: one that exists by now is as good as made here.
  return CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool CreateFolderOf(const std::string& file) {
  // Each try that loses a race still leaves one more level made: a folder
  // that another thread made meanwhile is as good as one made here.
  const std::string folder = install_paths::ParentPath(file);
  for (int tries = 0; tries < 32; ++tries) {
    if (IsFolder(folder) || CreateFolderPath(folder)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}
