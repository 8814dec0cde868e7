#include "tools/publish/publish_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace publish {

PublishLock::~PublishLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool PublishLock::Take(const std::string& manifestPath, std::string& error) {
  const std::string path = LockPath(manifestPath);
  // A new manifest's folder may not exist yet; the release would make it anyway.
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    error = path + ": cannot open the lock file: " + std::strerror(errno);
    return false;
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK) {
    error = path + ": cannot lock: " + std::strerror(errno);
    return false;
  }
  std::cerr << "note: another torvane-publish is writing " << manifestPath << " (it holds " << path
            << "); waiting for it to end\n";
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      error = path + ": cannot lock: " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace publish
