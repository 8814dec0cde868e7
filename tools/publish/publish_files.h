#pragma once
// Whole-file reads and atomic writes for the publisher's outputs.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace publish {

// The file's bytes; nullopt when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Writes data to a temporary file beside path, flushes it to disk and renames
// it over path, so a reader (or the web server) sees the old file or the new
// one, never a part. The new file gets mode 0644.
bool WriteFileAtomically(const std::string& path, const std::string& data, std::string& error);

// Writes every file's new bytes beside it first (flushed to disk), and only
// when all are written renames them into place, in the order given. On a
// failure before the renames nothing is replaced and no temporary is left.
struct FileBytes {
  std::string path;
  std::string data;
};
bool ReplaceTogether(const std::vector<FileBytes>& files, std::string& error);

// Writes data to a new file at path with the given mode (not reduced by the
// umask: a private key must be 0600) and flushes it to disk; never replaces an
// existing file, and leaves none behind on failure.
bool WriteNewFile(const std::string& path, const std::string& data, mode_t mode, std::string& error);

// Every regular file below dir, by its path relative to dir ('/' between
// folders), to its full path. A link to a folder, a file that is not regular
// and a name with a backslash are not listed but named in errors; false when
// dir cannot be listed.
bool ListReleaseFiles(const std::string& dir, std::map<std::string, std::string>& files,
                      std::vector<std::string>& errors);

}  // namespace publish
