#include "updater/base/manifest_file_reader.h"

#include <windows.h>

#include "updater/base/scoped_handle.h"

namespace {

// The whole file, or nullopt when it cannot be read or is larger than limit.
std::optional<std::string> ReadWholeFile(const UniqueFile& file, std::size_t limit) {
  if (!file) return std::nullopt;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
      static_cast<unsigned long long>(size.QuadPart) > limit) {
    return std::nullopt;
  }
  std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD read = 0;
    if (!ReadFile(file.get(), &text[done], static_cast<DWORD>(text.size() - done), &read, nullptr) ||
        read == 0) {
      return std::nullopt;
    }
    done += read;
  }
  return text;
}

}  // namespace

ManifestFileReader::ManifestFileReader(const std::string& path)
    : platform_(path),
      file_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr)),
      bytes_(ReadWholeFile(file_, kMaxInMemoryBytes)) {
  if (bytes_ && ReadsLikeThePlatform(*bytes_, GetACP() == 936)) memory_.emplace(*bytes_);
}

std::string ManifestFileReader::Read(const std::string& section, const std::string& key,
                                     std::size_t limit) const {
  // A file that could not be held is not read by path either.
  if (!file_) return std::string();
  return memory_ ? memory_->Read(section, key, limit) : platform_.Read(section, key, limit);
}
