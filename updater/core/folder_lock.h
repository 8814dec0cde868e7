#pragma once
// One updater per client folder. Two updaters of one folder would wait for the
// same client, replace the same files and, worse, the second would play back
// the install journal of a run that is still alive. The lock is a named mutex
// whose name comes from the folder's full path with letter case folded, so
// that every spelling of the folder meets the same lock while updaters of
// other folders run side by side.

#include <string>

#include "updater/base/scoped_handle.h"

class FolderLock {
 public:
  // False when another process holds the lock of folder. The lock is held
  // until this object (or the process) ends. When no lock can be made at all
  // the updater runs as if it held it.
  bool Acquire(const std::string& folder);

 private:
  UniqueHandle mutex_;
};
