// The helper's mode, decided once from its command line. No Windows calls here,
// so the parsing is unit-tested natively as well.
#pragma once

#include <string>

namespace quillet {

enum class HelperMode { Unknown, Recommend, WriteCookie, ClearCookie };

// What follows the program name on a full command line: the name is skipped
// (quoted, so it may contain blanks, or up to the first blank), then the blanks
// after it. Trailing blanks and further words stay.
std::wstring CommandTail(const std::wstring& commandLine);

// Compares the whole tail with the three switches, folding only A-Z.
HelperMode ParseHelperMode(const std::wstring& modeText);

}  // namespace quillet
