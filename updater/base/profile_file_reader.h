#pragma once
// A ProfileReader over an INI file on disk, read with GetPrivateProfileStringA
// (code page 936 text). Windows only.

#include <cstddef>
#include <string>
#include <utility>

#include "updater/base/profile_reader.h"

class ProfileFileReader : public ProfileReader {
 public:
  // path: absolute ANSI path of the INI file. A missing file reads as empty.
  explicit ProfileFileReader(std::string path) : path_(std::move(path)) {}

  std::string Read(const std::string& section, const std::string& key,
                   std::size_t limit) const override;

 private:
  std::string path_;
};
