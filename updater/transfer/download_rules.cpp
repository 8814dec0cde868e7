#include "updater/transfer/download_rules.h"

#include <cstring>

#include "updater/base/file_name_rules.h"
#include "updater/base/text_rules.h"

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

}  // namespace

std::optional<std::string> DownloadTarget(const std::string& localPath, const std::string& url, Bz2Target rule) {
  if (rule == Bz2Target::LocalPath || TextAfterLast(url, '.') != "bz2") return localPath;
  std::string name = TextAfterLast(url, '/');
  // A fragment is no part of the file's name: such a URL names no plain file.
  if (!IsPlainFileName(name) || name.find('#') != std::string::npos) return std::nullopt;
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
