#include "updater/transfer/download_rules.h"

#include <climits>
#include <cstring>

#include "updater/base/file_name_rules.h"
#include "updater/base/text_rules.h"

std::optional<int32_t> ProgressStep(int32_t announcedLength) {
  if (announcedLength < 0) return std::nullopt;
  return kProgressFullScale / (announcedLength / kTransferChunkBytes + 2);
}

bool IsSuccessStatus(uint32_t status) { return status >= 200 && status <= 299; }

bool IsRedirectStatus(uint32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

uint64_t DueMs(const TransferBounds& bounds, int64_t bytes) {
  if (bytes < 0) bytes = 0;
  const uint64_t floor = bounds.floorBytesPerSecond == 0 ? 1 : bounds.floorBytesPerSecond;
  const uint64_t cap = UINT64_MAX / 2000;  // far beyond any download, and no overflow below
  const uint64_t counted = static_cast<uint64_t>(bytes) < cap ? static_cast<uint64_t>(bytes) : cap;
  return bounds.graceMs + counted * 1000 / floor;
}

bool WritesPastBound(int64_t written, int64_t count, int64_t length) {
  if (length < 0) length = 0;
  const int64_t bound = length > INT64_MAX / kWrittenLengths ? INT64_MAX : length * kWrittenLengths;
  return count > bound - written;
}

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

std::optional<std::string> DownloadTarget(const std::string& localPath, const std::string& url,
                                          Bz2Target rule) {
  if (rule == Bz2Target::LocalPath || TextAfterLast(url, '.') != "bz2") return localPath;
  std::string name = TextAfterLast(url, '/');
  // A fragment is no part of the file's name: such a URL names no plain file.
  if (!IsPlainFileName(name) || name.find('#') != std::string::npos) return std::nullopt;
  std::size_t slash = FindLastSingleByte(localPath, '\\');
  std::string folder = slash == std::string::npos ? std::string() : localPath.substr(0, slash + 1);
  return folder + name;
}

int64_t ParseContentLength(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    value = value > (INT64_MAX - digit) / 10 ? INT64_MAX : value * 10 + digit;
  }
  return negative ? -value : value;
}

namespace {

// Reads the digits at text[at...] into value; false when there are none.
bool ReadNumber(const std::string& text, std::size_t& at, int64_t& value) {
  const std::size_t start = at;
  value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    if (value > (INT64_MAX - 9) / 10) return false;
    value = value * 10 + (text[at] - '0');
  }
  return at > start;
}

}  // namespace

std::optional<ContentRange> ParseContentRange(const std::string& text) {
  const std::string unit = "bytes ";
  if (text.compare(0, unit.size(), unit) != 0) return std::nullopt;
  std::size_t at = unit.size();
  ContentRange range;
  if (!ReadNumber(text, at, range.first) || at >= text.size() || text[at++] != '-') return std::nullopt;
  if (!ReadNumber(text, at, range.last) || at >= text.size() || text[at++] != '/') return std::nullopt;
  if (!ReadNumber(text, at, range.total) || at != text.size()) return std::nullopt;
  if (range.first > range.last || range.last >= range.total) return std::nullopt;
  return range;
}

std::string ResumeHeaders(int64_t kept, const std::string& validator) {
  if (kept <= 0 || validator.empty()) return std::string();
  // A validator that could end the header early guards nothing.
  if (validator.find_first_of("\r\n") != std::string::npos) return std::string();
  return "Range: bytes=" + std::to_string(kept) + "-\r\nIf-Range: " + validator + "\r\n";
}

bool AttemptBudget::AfterAttempt(int64_t reached, int64_t announcedLength, bool restarted) {
  ++attempts_;
  if (restarted) {
    bestReached_ = reached;
    ++fruitless_;
  } else if (reached > bestReached_) {
    bestReached_ = reached;
  } else {
    ++fruitless_;
  }
  const int64_t cap =
      2 * kDownloadAttempts + (announcedLength > 0 ? announcedLength / kResumeAttemptBytes : 0);
  return fruitless_ < kDownloadAttempts && attempts_ < cap;
}

bool IsDowngradeRedirect(const std::string& originalUrl, const std::string& finalUrl) {
  auto isHttps = [](const std::string& url) {
    const std::string scheme = "https://";
    if (url.size() < scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
      if (UpperAscii(url[i]) != UpperAscii(scheme[i])) return false;
    }
    return true;
  };
  return isHttps(originalUrl) && !isHttps(finalUrl);
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

std::string ApplicationName(const std::string& modulePath, LeadByteRule isLeadByte) {
  const std::size_t slash = FindLastSingleByte(modulePath, '\\', isLeadByte);
  const std::string name = slash == std::string::npos ? modulePath : modulePath.substr(slash + 1);
  std::size_t dot = FindLastSingleByte(name, '.', isLeadByte);
  return dot == std::string::npos ? name : name.substr(0, dot);
}
