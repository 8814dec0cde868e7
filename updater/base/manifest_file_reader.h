#pragma once
// A ProfileReader over the stored manifest, read from disk once: the same
// values as ProfileFileReader without a pass over the file for every key (a
// release of many files has hundreds of keys). Where the in-memory rules could
// differ from the platform's (see ReadsLikeThePlatform), or the file is too
// large to hold, every key is read through the platform instead. Windows only.
//
// The file stays open, sharing only reading, for as long as the reader lives:
// no one can write, rename or delete it meanwhile, so the bytes a caller checks
// (bytes()) are the ones every key is read from, by either way.

#include <cstddef>
#include <optional>
#include <string>

#include "updater/base/ini_text_reader.h"
#include "updater/base/profile_file_reader.h"
#include "updater/base/scoped_handle.h"
#include "updater/base/update_limits.h"

class ManifestFileReader : public ProfileReader {
 public:
  explicit ManifestFileReader(const std::string& path);

  std::string Read(const std::string& section, const std::string& key, std::size_t limit) const override;

  // False when the reads go through the platform.
  bool inMemory() const { return memory_.has_value(); }
  // The file's bytes as read; nullopt when it could not be read or is too
  // large to hold.
  const std::optional<std::string>& bytes() const { return bytes_; }

 private:
  // Larger files are left to the platform rather than held in memory.
  static constexpr std::size_t kMaxInMemoryBytes = update_limits::kManifestMaxBytes;

  ProfileFileReader platform_;
  UniqueFile file_;  // keeps writers out until the reader ends
  std::optional<std::string> bytes_;
  std::optional<IniTextReader> memory_;
};
