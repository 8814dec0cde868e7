#pragma once
// One writing command at a time per manifest: an exclusive flock on
// MANIFEST.lock beside it, held until the command ends (the kernel lets go
// when the process dies, so a killed run leaves no lock behind). A second
// command waits for the first and then works on what the first wrote.

#include <string>

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

  static std::string LockPath(const std::string& manifestPath) { return manifestPath + ".lock"; }

 private:
  int fd_ = -1;
};

}  // namespace publish
