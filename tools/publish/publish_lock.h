#pragma once
// One writing command at a time per manifest: an exclusive flock on
// MANIFEST.lock beside it, held until the command ends (the kernel lets go
// when the process dies, so a killed run leaves no lock behind). A second
// command waits for the first and then works on what the first wrote.
//
// The lock file may be removed by its holder (a refused first release leaves
// nothing behind), so a lock counts only while the file locked is still the
// one at the path; a waiter that finds it gone opens the new one.

#include <string>
#include <vector>

namespace publish {

class PublishLock {
 public:
  PublishLock() = default;
  ~PublishLock();
  PublishLock(const PublishLock&) = delete;
  PublishLock& operator=(const PublishLock&) = delete;

  // Takes the lock of manifestPath, waiting (after saying so on standard
  // error) while another process holds it. False with error set.
  bool Take(const std::string& manifestPath, std::string& error);

  // Removes the lock file and the folders, when Take made them: a command
  // refused on a new manifest leaves no trace. Called while holding the lock,
  // so no other command is writing there.
  void RemoveIfNew();

  static std::string LockPath(const std::string& manifestPath) { return manifestPath + ".lock"; }

 private:
  bool Open(std::string& error);
  bool StillAtPath() const;

  std::string path_;
  std::vector<std::string> madeFolders_;  // innermost last
  bool madeFile_ = false;
  int fd_ = -1;
};

}  // namespace publish
