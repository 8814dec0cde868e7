#include "updater/base/ini_text_reader.h"

#include "updater/base/text_rules.h"

namespace {

// White space as the profile functions see it: C white space and the
// end-of-file mark ^Z. The ideographic space of code page 936 is not white
// space to them.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1a'; }

void Trim(const char*& begin, const char*& end) {
  while (begin < end && IsSpace(*begin)) ++begin;
  while (end > begin && IsSpace(end[-1])) --end;
}

// A NUL byte ends a name or a value.
std::string TextUpToNul(const char* begin, const char* end) {
  const char* p = begin;
  while (p < end && *p != '\0') ++p;
  return std::string(begin, p);
}

// The name with ASCII letters in lower case; a double-byte character is kept
// whole, so a trail byte is never folded. Two names are equal without regard
// to case exactly when their folded forms are equal.
std::string FoldName(const std::string& name) {
  std::string folded = name;
  for (std::size_t i = 0; i < folded.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(folded[i]);
    if (IsGbkLeadByte(c) && i + 1 < folded.size()) {
      ++i;
    } else if (c >= 'A' && c <= 'Z') {
      folded[i] = static_cast<char>(c - 'A' + 'a');
    }
  }
  return folded;
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

// A text that starts with a UTF-16 byte order mark, as single bytes: the
// platform converts it to the ANSI code page; only its ASCII characters are
// kept here, anything else becomes '?'.
std::string NarrowUtf16(const std::string& text, bool bigEndian) {
  std::string narrow;
  narrow.reserve(text.size() / 2);
  for (std::size_t i = 2; i + 1 < text.size(); i += 2) {
    const unsigned char hi = static_cast<unsigned char>(text[bigEndian ? i : i + 1]);
    const unsigned char lo = static_cast<unsigned char>(text[bigEndian ? i + 1 : i]);
    narrow.push_back(hi == 0 && lo < 0x80 ? static_cast<char>(lo) : '?');
  }
  return narrow;
}

}  // namespace

IniTextReader::IniTextReader(const std::string& text) {
  const bool utf16le = text.compare(0, 2, "\xFF\xFE") == 0;
  const bool utf16be = text.compare(0, 2, "\xFE\xFF") == 0;
  if (utf16le || utf16be) {
    Parse(NarrowUtf16(text, utf16be));
  } else if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    Parse(text.substr(3));
  } else {
    Parse(text);
  }
}

void IniTextReader::Parse(const std::string& text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  // Keys before the first header belong to a nameless section.
  sections_.emplace_back();
  sectionIndex_.emplace(std::string(), 0);
  while (p < end) {
    const char* lineEnd = p;
    while (lineEnd < end && *lineEnd != '\n' && *lineEnd != '\r') ++lineEnd;
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
        const char* nameBegin = begin + 1;
        Trim(nameBegin, close);
        sections_.emplace_back();
        sectionIndex_.emplace(FoldName(TextUpToNul(nameBegin, close)), sections_.size() - 1);
        continue;
      }
      // Without a closing bracket the line is read as a key line.
    }

    Value value;
    const char* equals = begin;
    while (equals < stop && *equals != '=') ++equals;
    const char* nameEnd = equals;
    if (equals < stop) {
      const char* valueBegin = equals + 1;
      const char* valueEnd = stop;
      Trim(valueBegin, valueEnd);
      value.text = TextUpToNul(valueBegin, valueEnd);
      value.present = true;
      const char* nameBegin = begin;
      Trim(nameBegin, nameEnd);
    }
    sections_.back().keys.emplace(FoldName(TextUpToNul(begin, nameEnd)), std::move(value));
  }
}

std::string IniTextReader::Read(const std::string& section, const std::string& key,
                                std::size_t limit) const {
  const auto found = sectionIndex_.find(FoldName(section));
  if (found == sectionIndex_.end()) return std::string();
  const Section& s = sections_[found->second];
  const auto entry = s.keys.find(FoldName(key));
  if (entry == s.keys.end() || !entry->second.present) return std::string();
  std::string value = entry->second.text;
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
    value = value.substr(1, value.size() - 2);
  }
  CutToLimit(value, limit);
  return value;
}

bool ReadsLikeThePlatform(const std::string& text, bool ansiCodePageIs936) {
  const auto startsWith = [&text](const char* mark) { return text.rfind(mark, 0) == 0; };
  if (startsWith("\xEF\xBB\xBF") || startsWith("\xFF\xFE") || startsWith("\xFE\xFF")) return false;
  for (const char c : text) {
    if (c == '"' || c == '\'') return false;
    if (!ansiCodePageIs936 && static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}
