#include "updater/base/run_log_text.h"

#include <cstdio>

namespace run_log {
namespace {

bool NeedsQuotes(const std::string& value) {
  if (value.empty()) return true;
  for (char c : value) {
    if (c == ' ' || c == '"' || c == '=') return true;
  }
  return false;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// The length of value cut to at most limit bytes without splitting a UTF-8
// character: a cut never lands on a continuation byte.
std::size_t CutLength(const std::string& value, std::size_t limit) {
  if (value.size() <= limit) return value.size();
  std::size_t n = limit;
  while (n > 0 && (static_cast<unsigned char>(value[n]) & 0xC0) == 0x80) --n;
  return n;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string LineStart(const UtcTime& t, std::uint32_t threadId, const std::string& text) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ [%lu] ", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond, static_cast<unsigned long>(threadId));
  std::string line = stamp;
  line += text;
  return line;
}

void AppendField(std::string& line, const std::string& key, const std::string& value) {
  const std::size_t length = CutLength(value, kMaxValueBytes);
  const bool quoted = NeedsQuotes(value);
  line += ' ';
  line += key;
  line += '=';
  if (quoted) line += '"';
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (IsControl(c) || (quoted && c == '"')) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      line += escaped;
    } else {
      line += static_cast<char>(c);
    }
  }
  if (length < value.size()) line += "...";
  if (quoted) line += '"';
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

bool RotationDue(std::uint64_t size) { return size > kRotateBytes; }

std::string RotatedPath(const std::string& path) { return path + ".1"; }

}  // namespace run_log
