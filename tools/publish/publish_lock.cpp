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

namespace fs = std::filesystem;

PublishLock::~PublishLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool PublishLock::Open(std::string& error) {
  // A new manifest's folder may not exist yet; the release would make it anyway.
  std::vector<fs::path> missing;
  std::error_code ec;
  for (fs::path folder = fs::path(path_).parent_path(); !folder.empty() && !fs::exists(folder, ec);
       folder = folder.parent_path()) {
    missing.insert(missing.begin(), folder);
    if (folder == folder.parent_path()) break;
  }
  for (const fs::path& folder : missing) {
    if (fs::create_directory(folder, ec)) madeFolders_.push_back(folder.string());
  }
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd_ >= 0) {
    madeFile_ = true;
    return true;
  }
  if (errno == EEXIST) fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0) {
    error = path_ + ": cannot open the lock file: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool PublishLock::StillAtPath() const {
  struct stat held {}, named {};
  return ::fstat(fd_, &held) == 0 && ::stat(path_.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

bool PublishLock::Take(const std::string& manifestPath, std::string& error) {
  path_ = LockPath(manifestPath);
  for (bool said = false;;) {
    if (!Open(error)) return false;
    int locked = ::flock(fd_, LOCK_EX | LOCK_NB);
    if (locked != 0 && errno != EWOULDBLOCK) {
      error = path_ + ": cannot lock: " + std::strerror(errno);
      return false;
    }
    if (locked != 0 && !said) {
      std::cerr << "note: another torvane-publish is writing " << manifestPath << " (it holds " << path_
                << "); waiting for it to end\n";
      said = true;
    }
    while (locked != 0) {
      locked = ::flock(fd_, LOCK_EX);
      if (locked != 0 && errno != EINTR) {
        error = path_ + ": cannot lock: " + std::strerror(errno);
        return false;
      }
    }
    if (StillAtPath()) return true;
    // The holder removed the file before letting go: lock the one at the path now.
    ::close(fd_);
    fd_ = -1;
  }
}

void PublishLock::RemoveIfNew() {
  if (fd_ < 0) return;
  if (madeFile_) ::unlink(path_.c_str());
  std::error_code ec;
  for (auto folder = madeFolders_.rbegin(); folder != madeFolders_.rend(); ++folder) {
    fs::remove(*folder, ec);  // only while empty
  }
  madeFolders_.clear();
  madeFile_ = false;
}

}  // namespace publish
