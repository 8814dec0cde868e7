#pragma once
// A ProfileReader over INI text held in memory, with the rules of the
// platform's profile-string functions (see profile_reader.h). Used by the
// native tests and the fuzzers; it needs no Windows call.
//
// Layout rules, as the platform reads a file:
//  - a line ends at "\n" (or at "\r" when no "\n" follows); white space around
//    a line is ignored;
//  - "[name]" opens a section; the name runs to the last ']' of the line;
//  - "key=value" adds a key; white space around the key and the value is
//    dropped; a line without '=' names a key without a value (absent);
//  - a NUL byte ends a name or a value;
//  - of several sections with the same name only the first is searched, and of
//    several equal keys in one section the first wins;
//  - a UTF-8 byte order mark at the start is skipped.

#include <cstddef>
#include <string>
#include <vector>

#include "updater/core/profile_reader.h"

class IniTextReader : public ProfileReader {
 public:
  explicit IniTextReader(const std::string& text);

  std::string Read(const std::string& section, const std::string& key,
                   std::size_t limit) const override;

 private:
  struct Key {
    std::string name;
    std::string value;
    bool hasValue = false;
  };
  struct Section {
    std::string name;
    std::vector<Key> keys;
  };
  std::vector<Section> sections_;
};
