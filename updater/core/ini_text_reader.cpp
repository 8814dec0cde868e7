#include "updater/core/ini_text_reader.h"

#include "updater/core/text_rules.h"

namespace {

// White space as the profile functions see it once the file is decoded:
// C white space, the end-of-file mark ^Z, and the ideographic space of code
// page 936 (0xA1 0xA1, U+3000).
std::size_t SpaceAt(const char* p, const char* end) {
  const unsigned char c = static_cast<unsigned char>(*p);
  if (c == ' ' || (c >= '\t' && c <= '\r') || c == 0x1a) return 1;
  if (c == 0xA1 && end - p >= 2 && static_cast<unsigned char>(p[1]) == 0xA1) return 2;
  return 0;
}

// Drops white space at both ends of [begin, end). Trailing white space is found
// by walking the characters forward, so a trail byte is never taken for one.
void Trim(const char*& begin, const char*& end) {
  while (begin < end) {
    const std::size_t n = SpaceAt(begin, end);
    if (n == 0) break;
    begin += n;
  }
  const char* lastEnd = begin;  // end of the last character that is not space
  for (const char* p = begin; p < end;) {
    std::size_t n = SpaceAt(p, end);
    if (n != 0) {
      p += n;
      continue;
    }
    n = (IsGbkLeadByte(static_cast<unsigned char>(*p)) && end - p >= 2) ? 2 : 1;
    p += n;
    lastEnd = p;
  }
  end = lastEnd;
}

// A NUL byte ends a name or a value.
std::string TextUpToNul(const char* begin, const char* end) {
  const char* p = begin;
  while (p < end && *p != '\0') ++p;
  return std::string(begin, p);
}

// Cuts text to at most limit bytes without splitting a double-byte character.
void CutToLimit(std::string& text, std::size_t limit) {
  if (text.size() <= limit) return;
  std::size_t kept = 0;
  while (kept < limit) {
    const std::size_t n =
        (IsGbkLeadByte(static_cast<unsigned char>(text[kept])) && kept + 1 < text.size()) ? 2 : 1;
    if (kept + n > limit) break;
    kept += n;
  }
  text.resize(kept);
}

}  // namespace

IniTextReader::IniTextReader(const std::string& text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  if (end - p >= 3 && p[0] == '\xEF' && p[1] == '\xBB' && p[2] == '\xBF') p += 3;

  sections_.emplace_back();  // keys before the first header belong to no named section
  while (p < end) {
    const char* lineEnd = p;
    while (lineEnd < end && *lineEnd != '\n') ++lineEnd;
    if (lineEnd == end) {  // the last line may end at a lone "\r"
      lineEnd = p;
      while (lineEnd < end && *lineEnd != '\r') ++lineEnd;
    }
    const char* next = lineEnd < end ? lineEnd + 1 : end;

    const char* begin = p;
    const char* stop = lineEnd;
    Trim(begin, stop);
    p = next;
    if (begin >= stop) continue;

    if (*begin == '[') {
      const char* close = stop - 1;
      while (close > begin && *close != ']') --close;
      if (close > begin) {
        sections_.emplace_back();
        sections_.back().name = TextUpToNul(begin + 1, close);
        continue;
      }
      // Without a closing bracket the line is read as a key line.
    }

    Key key;
    const char* equals = begin;
    while (equals < stop && *equals != '=') ++equals;
    const char* nameEnd = equals;
    if (equals < stop) {
      const char* valueBegin = equals + 1;
      const char* valueEnd = stop;
      Trim(valueBegin, valueEnd);
      key.value = TextUpToNul(valueBegin, valueEnd);
      key.hasValue = true;
      const char* nameBegin = begin;
      Trim(nameBegin, nameEnd);
    }
    key.name = TextUpToNul(begin, nameEnd);
    sections_.back().keys.push_back(std::move(key));
  }
}

std::string IniTextReader::Read(const std::string& section, const std::string& key,
                                std::size_t limit) const {
  for (const Section& s : sections_) {
    if (!EqualsIgnoreAsciiCaseMb(s.name, section)) continue;
    // Only the first section of a name is searched.
    for (const Key& k : s.keys) {
      if (!EqualsIgnoreAsciiCaseMb(k.name, key)) continue;
      if (!k.hasValue) return std::string();
      std::string value = k.value;
      if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') &&
          value.back() == value[0]) {
        value = value.substr(1, value.size() - 2);
      }
      CutToLimit(value, limit);
      return value;
    }
    return std::string();
  }
  return std::string();
}
