#include "updater/transfer/download_rules.h"

#include <cstring>

#include "updater/core/text_rules.h"

std::optional<int32_t> ProgressStep(int32_t announcedLength) {
  if (announcedLength < 0) return std::nullopt;
  return kProgressFullScale / (announcedLength / kTransferChunkBytes + 2);
}

bool IsSuccessStatus(uint32_t status) { return status >= 200 && status <= 299; }

std::string DisplayPath(const std::string& localPath, const std::string& tempFolder) {
  if (localPath.size() > tempFolder.size()) return localPath.substr(tempFolder.size());
  return localPath;
}

namespace {

// The text after the last single-byte ch, or the whole text when there is none.
std::string TextAfterLast(const std::string& text, char ch) {
  std::size_t at = FindLastSingleByte(text, ch);
  return at == std::string::npos ? text : text.substr(at + 1);
}

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// CON, NUL, COM1... name a device whatever extension follows them.
bool IsReservedDeviceName(const std::string& name) {
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = UpperAscii(c);
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* device : kDevices) {
    if (base == device) return true;
  }
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
      base[3] >= '0' && base[3] <= '9') {
    return true;
  }
  return false;
}

}  // namespace

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  // Windows drops trailing dots and spaces, so the file would get another name.
  if (name.back() == '.' || name.back() == ' ') return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (IsGbkLeadByte(c)) {
      // A double-byte character needs a valid trail byte; its trail byte is never a separator.
      if (i + 1 >= name.size()) return false;
      unsigned char trail = static_cast<unsigned char>(name[i + 1]);
      if (trail < 0x40 || trail == 0x7F || trail == 0xFF) return false;
      ++i;
      continue;
    }
    if (c < 0x20 || c == 0x7F || c == 0xFF) return false;
    // Path and stream separators, wildcards, and what would be a URL's query or fragment.
    if (std::strchr("<>:\"/\\|?*#", static_cast<char>(c)) != nullptr) return false;
  }
  return !IsReservedDeviceName(name);
}

std::optional<std::string> DownloadTarget(const std::string& localPath, const std::string& url) {
  if (TextAfterLast(url, '.') != "bz2") return localPath;
  std::string name = TextAfterLast(url, '/');
  if (!IsPlainFileName(name)) return std::nullopt;
  std::size_t slash = FindLastSingleByte(localPath, '\\');
  std::string folder = slash == std::string::npos ? std::string() : localPath.substr(0, slash + 1);
  return folder + name;
}

bool IsHttpUrl(const std::string& url) {
  for (const char* scheme : {"http://", "https://"}) {
    std::size_t n = std::strlen(scheme);
    if (url.size() < n) continue;
    bool same = true;
    for (std::size_t i = 0; i < n && same; ++i) same = UpperAscii(url[i]) == UpperAscii(scheme[i]);
    if (same) return true;
  }
  return false;
}

std::string ApplicationName(const std::string& modulePath) {
  std::string name = TextAfterLast(modulePath, '\\');
  std::size_t dot = FindLastSingleByte(name, '.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}
