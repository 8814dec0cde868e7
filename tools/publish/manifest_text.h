#pragma once
// Line-level editing of an INI manifest that keeps every line it does not
// change exactly as it was (bytes, comments, line ends). Lines, section headers
// and key names are recognised as the updater's profile reader recognises them
// (see updater/base/ini_text_reader.h): a line ends at CR or LF, the first
// section of a name is the one searched, and the first key of a name in it wins.

#include <string>
#include <utility>
#include <vector>

namespace publish {

class ManifestText {
 public:
  using Keys = std::vector<std::pair<std::string, std::string>>;

  explicit ManifestText(const std::string& text);

  bool HasSection(const std::string& name) const;

  // Replaces the value of key in the first section named section, or adds the
  // key after the section's last line; adds the section when it is missing.
  void SetKey(const std::string& section, const std::string& key, const std::string& value);

  // Adds a section with its keys at the end.
  void AppendSection(const std::string& name, const Keys& keys);

  std::string Text() const;

 private:
  struct Line {
    std::string content;
    std::string end;  // "\r\n", "\n", "\r" or "" for a last line without one
  };
  // Index of the first header line of section name, or lines_.size().
  std::size_t FindSection(const std::string& name) const;
  void EndLastLine();

  std::string prefix_;  // a UTF-8 byte order mark, kept as it was
  std::vector<Line> lines_;
  std::string newline_ = "\r\n";
};

}  // namespace publish
