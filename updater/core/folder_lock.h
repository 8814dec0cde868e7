#pragma once
// One updater per client folder. Two updaters of one folder would wait for the
// same client, replace the same files and, worse, the second would play back
// the install journal of a run that is still alive.
//
// The folder is identified by what the file system says it is, not by how its
// path is spelled (8.3 short names, \\?\ prefixes, subst drives and junctions
// all name it differently): the lock is a file inside the folder, held open
// with no sharing at all and deleted on close, so that the system refuses a
// second opener whatever path it uses and releases the lock when the process
// ends, killed or not. A named mutex derived from the folder's full path is
// taken too, which keeps older updaters of the same folder out as before.

#include <string>

#include "updater/base/scoped_handle.h"

class FolderLock {
 public:
  // False when another process holds the lock of folder, or when the lock
  // file cannot be made even after a leftover in its place (a read-only file,
  // an empty folder) was removed: the caller must not run then. The lock is
  // held until this object (or the process) ends.
  bool Acquire(const std::string& folder);

 private:
  UniqueFile file_;
  UniqueHandle mutex_;
};
