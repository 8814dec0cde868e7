#pragma once
// A ProfileReader over INI text held in memory, with the rules of the
// platform's profile-string functions (see profile_reader.h). Used by the
// native tests and the fuzzers; it needs no Windows call.
//
// Layout rules, as the platform reads a file:
//  - a line ends at "\r" or "\n"; white space around a line is ignored;
//  - "[name]" opens a section; the name runs to the last ']' of the line, white
//    space around it dropped;
//  - "key=value" adds a key; white space around the key and the value is
//    dropped; a line without '=' names a key without a value (absent);
//  - a NUL byte ends a name or a value;
//  - of several sections with the same name only the first is searched, and of
//    several equal keys in one section the first wins;
//  - a UTF-8 byte order mark at the start is skipped; text with a UTF-16 byte
//    order mark is read as UTF-16.
// One known difference: a quoted value whose inner text is exactly as long as
// the limit is kept whole here, while Wine drops its last character.
// Where the platform converts text between encodings (UTF-8 or UTF-16 files
// with non-ASCII text) this reader does not follow it: manifests are code page
// 936 files.

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "updater/base/profile_reader.h"

// True when IniTextReader reads text exactly as the platform reads a file of
// these bytes, on a machine whose ANSI code page is 936 when ansiCodePageIs936:
// no byte order mark, no quotation mark, and on another code page no byte
// above 0x7F (which the platform would split by that code page's rules).
bool ReadsLikeThePlatform(const std::string& text, bool ansiCodePageIs936);

class IniTextReader : public ProfileReader {
 public:
  explicit IniTextReader(const std::string& text);

  std::string Read(const std::string& section, const std::string& key,
                   std::size_t limit) const override;

 private:
  void Parse(const std::string& text);

  struct Value {
    std::string text;
    bool present = false;  // false for a key line without '='
  };
  struct Section {
    // Names with ASCII letters folded to lower case, double-byte characters
    // kept whole; the first key of a name wins.
    std::unordered_map<std::string, Value> keys;
  };
  std::vector<Section> sections_;
  // The first section of each folded name; later ones are never searched.
  std::unordered_map<std::string, std::size_t> sectionIndex_;
};
