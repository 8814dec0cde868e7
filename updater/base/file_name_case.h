#pragma once
// File names compared as Windows compares them: each UTF-16 unit is mapped
// through the system's upper-case table and the results are compared unit by
// unit (ordinal, ignoring case). The table is one-to-one and BMP-only, so
// 'ß' stays 'ß', surrogates stay as they are, and 'Σ', 'σ' and 'ς' are one.
// The updater and the publisher both fold with this, so a name the publisher
// lets through is one file to the updater too.

#include <string>

namespace file_name_case {

// The unit as Windows' upper-case table maps it.
char16_t Upper(char16_t unit);

// Every unit mapped by Upper: two names are one file when these are equal.
std::u16string Fold(const std::u16string& name);

// A code page 936 (GBK) name with every character that has a capital in
// code page 936 replaced by it, by the same table: ASCII and fullwidth
// letters, Greek, Cyrillic and the small roman numerals. The capitals of
// GBK's other small letters (pinyin vowels) are not in GBK, so no two GBK
// names differ by them alone. Two GBK names are one file on Windows when
// these are equal.
std::string FoldGbk(const std::string& name);

// Whether two GBK names are one file on Windows.
inline bool SameGbkName(const std::string& a, const std::string& b) { return FoldGbk(a) == FoldGbk(b); }

// UTF-8 in, UTF-8 out (for the publisher, whose names are UTF-8); a sequence
// that is not UTF-8 is kept byte for byte.
std::string FoldUtf8(const std::string& name);

}  // namespace file_name_case
