#include "tools/publish/publish_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace publish {

namespace {

// Writes all of data to fd, gives the file mode (the mode of O_CREAT passes
// through the umask) and flushes it to disk. On false, errno says why.
bool WriteAllAndSync(int fd, const std::string& data, mode_t mode) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done == data.size() && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

namespace {

// A flushed temporary file beside path holding data; its name, or empty.
std::string WriteBeside(const std::string& path, const std::string& data, std::string& error) {
  std::string pattern = path + ".tmp-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    error = path + ": cannot create a temporary file beside it: " + std::strerror(errno);
    return std::string();
  }
  const std::string temp(name.data());
  const bool written = WriteAllAndSync(fd, data, 0644);
  const int savedErrno = errno;
  if (::close(fd) != 0 || !written) {
    error = path + ": cannot write: " + std::strerror(written ? errno : savedErrno);
    ::unlink(temp.c_str());
    return std::string();
  }
  return temp;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& data, std::string& error) {
  return ReplaceTogether({FileBytes{path, data}}, error);
}

bool ReplaceTogether(const std::vector<FileBytes>& files, std::string& error) {
  std::vector<std::string> temps;
  for (const FileBytes& file : files) {
    temps.push_back(WriteBeside(file.path, file.data, error));
    if (temps.back().empty()) {
      temps.pop_back();
      for (const std::string& temp : temps) ::unlink(temp.c_str());
      return false;
    }
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (::rename(temps[i].c_str(), files[i].path.c_str()) != 0) {
      error = files[i].path + ": cannot replace: " + std::strerror(errno);
      for (std::size_t j = i; j < temps.size(); ++j) ::unlink(temps[j].c_str());
      return false;
    }
  }
  return true;
}

bool WriteNewFile(const std::string& path, const std::string& data, mode_t mode, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    error = path + (errno == EEXIST ? ": already exists; refusing to replace a key file"
                                    : ": cannot create: " + std::string(std::strerror(errno)));
    return false;
  }
  const bool written = WriteAllAndSync(fd, data, mode);
  const int savedErrno = errno;
  if (::close(fd) != 0 || !written) {
    error = path + ": cannot write: " + std::strerror(written ? errno : savedErrno);
    ::unlink(path.c_str());
    return false;
  }
  return true;
}

namespace fs = std::filesystem;

bool ListReleaseFiles(const std::string& dir, std::map<std::string, std::string>& files,
                      std::vector<std::string>& errors) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    errors.push_back(dir + ": not a folder");
    return false;
  }
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_symlink(ec) && it->is_directory(ec)) {
      // Not followed (a link may lead back up the tree), so say so rather than
      // leave its files out of the release unnoticed.
      errors.push_back(it->path().string() + ": a symbolic link to a folder; copy the folder in instead");
      continue;
    }
    if (it->is_directory(ec)) continue;
    // The name as listed: a link to a file is released under its own name,
    // with the bytes it leads to.
    const std::string relative = it->path().lexically_relative(dir).generic_string();
    if (!it->is_regular_file(ec)) {
      errors.push_back(it->path().string() + (it->is_symlink(ec) ? ": a symbolic link that leads to no file"
                                                                 : ": not a regular file"));
      continue;
    }
    if (relative.find('\\') != std::string::npos) {
      errors.push_back(it->path().string() +
                       ": a name holds a backslash, which Windows reads as a folder separator");
      continue;
    }
    files.emplace(relative, it->path().string());
  }
  if (ec) {
    errors.push_back(dir + ": cannot list: " + ec.message());
    return false;
  }
  return true;
}

}  // namespace publish
