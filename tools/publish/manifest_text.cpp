#include "tools/publish/manifest_text.h"

#include <optional>

#include "updater/base/text_rules.h"

namespace publish {
namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1a'; }

std::string Trimmed(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// The section name of a header line, or nullopt for any other line.
std::optional<std::string> HeaderName(const std::string& content) {
  const std::string line = Trimmed(content);
  if (line.empty() || line[0] != '[') return std::nullopt;
  const std::size_t close = line.rfind(']');
  if (close == std::string::npos || close == 0) return std::nullopt;
  return Trimmed(line.substr(1, close - 1));
}

std::string KeyName(const std::string& content) {
  const std::string line = Trimmed(content);
  return Trimmed(line.substr(0, line.find('=')));
}

}  // namespace

ManifestText::ManifestText(const std::string& text) {
  std::size_t p = 0;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    prefix_ = text.substr(0, 3);
    p = 3;
  }
  bool sawNewline = false;
  while (p < text.size()) {
    std::size_t end = text.find_first_of("\r\n", p);
    Line line;
    if (end == std::string::npos) {
      line.content = text.substr(p);
      p = text.size();
    } else {
      line.content = text.substr(p, end - p);
      const std::size_t endLength = text.compare(end, 2, "\r\n") == 0 ? 2 : 1;
      line.end = text.substr(end, endLength);
      if (!sawNewline) newline_ = line.end;
      sawNewline = true;
      p = end + endLength;
    }
    lines_.push_back(std::move(line));
  }
}

std::size_t ManifestText::FindSection(const std::string& name) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const auto header = HeaderName(lines_[i].content);
    if (header && EqualsIgnoreAsciiCaseMb(*header, name)) return i;
  }
  return lines_.size();
}

bool ManifestText::HasSection(const std::string& name) const { return FindSection(name) != lines_.size(); }

void ManifestText::EndLastLine() {
  if (!lines_.empty() && lines_.back().end.empty()) lines_.back().end = newline_;
}

void ManifestText::SetKey(const std::string& section, const std::string& key, const std::string& value) {
  const std::size_t header = FindSection(section);
  if (header == lines_.size()) {
    AppendSection(section, {{key, value}});
    return;
  }
  std::size_t lastContent = header;
  for (std::size_t i = header + 1; i < lines_.size() && !HeaderName(lines_[i].content); ++i) {
    if (Trimmed(lines_[i].content).empty()) continue;
    if (EqualsIgnoreAsciiCaseMb(KeyName(lines_[i].content), key)) {
      lines_[i].content = key + "=" + value;
      return;
    }
    lastContent = i;
  }
  if (lines_[lastContent].end.empty()) lines_[lastContent].end = newline_;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(lastContent) + 1,
                Line{key + "=" + value, newline_});
}

void ManifestText::AppendSection(const std::string& name, const Keys& keys) {
  EndLastLine();
  if (!lines_.empty() && !Trimmed(lines_.back().content).empty()) lines_.push_back(Line{"", newline_});
  lines_.push_back(Line{"[" + name + "]", newline_});
  for (const auto& [key, value] : keys) lines_.push_back(Line{key + "=" + value, newline_});
}

std::string ManifestText::Text() const {
  std::string text = prefix_;
  for (const Line& line : lines_) text += line.content + line.end;
  return text;
}

}  // namespace publish
