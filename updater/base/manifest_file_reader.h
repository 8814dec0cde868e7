#pragma once
// A ProfileReader over the stored manifest, read from disk once: the same
// values as ProfileFileReader without a pass over the file for every key (a
// release of many files has hundreds of keys). Where the in-memory rules could
// differ from the platform's (see ReadsLikeThePlatform), or the file is too
// large to hold, every key is read through the platform instead. Windows only.

#include <cstddef>
#include <optional>
#include <string>

#include "updater/base/ini_text_reader.h"
#include "updater/base/profile_file_reader.h"

class ManifestFileReader : public ProfileReader {
 public:
  explicit ManifestFileReader(const std::string& path);

  std::string Read(const std::string& section, const std::string& key, std::size_t limit) const override;

  // False when the reads go through the platform.
  bool inMemory() const { return memory_.has_value(); }

 private:
  // Larger files are left to the platform rather than held in memory.
  static constexpr std::size_t kMaxInMemoryBytes = 16u << 20;

  ProfileFileReader platform_;
  std::optional<IniTextReader> memory_;
};
