#include "updater/base/profile_file_reader.h"

#include <windows.h>

#include <vector>

std::string ProfileFileReader::Read(const std::string& section, const std::string& key,
                                    std::size_t limit) const {
  // The buffer is zeroed: when a double-byte character does not fit at the
  // end, the platform leaves the last byte untouched and reports a full length.
  std::vector<char> buffer(limit + 1, '\0');
  GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer.data(),
                           static_cast<DWORD>(buffer.size()), path_.c_str());
  return std::string(buffer.data());
}
