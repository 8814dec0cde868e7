#pragma once
// The one seam through which the manifest readers see an INI file.
//
// The product reads HistoryVersionList.cfg with GetPrivateProfileStringA
// (ProfileFileReader); tests and fuzzers read INI text held in memory
// (IniTextReader). Both follow the same profile-string rules:
//  - section and key names are matched without regard to ASCII letter case;
//  - white space around a value is dropped, then one pair of enclosing quotes
//    (both single or both double);
//  - a missing key and an empty value are the same thing: the empty text;
//  - a value longer than limit bytes is cut to limit bytes, never in the middle
//    of a double-byte character;
//  - code page 936 bytes pass through untouched.

#include <cstddef>
#include <string>

class ProfileReader {
 public:
  virtual ~ProfileReader() = default;

  // The value of key in section, at most limit bytes long; empty when absent.
  virtual std::string Read(const std::string& section, const std::string& key,
                           std::size_t limit) const = 0;
};
