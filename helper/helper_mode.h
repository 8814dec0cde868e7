// The helper's mode, decided once from its command line. No Windows calls here,
// so the parsing is unit-tested natively as well.
#pragma once

#include <string>

namespace quillet {

enum class HelperMode { Unknown, Recommend, WriteCookie, ClearCookie };

// What follows the program name on a full command line, as the C runtime cuts
// WinMain's tail: the name runs to the first blank outside quotes (quotes may
// open and close anywhere in it), then the blanks after it are skipped.
// Blanks are the space and the control characters. Trailing blanks and
// further words stay.
std::wstring CommandTail(const std::wstring& commandLine);

// Compares the whole tail with the three switches, folding only A-Z.
HelperMode ParseHelperMode(const std::wstring& modeText);

}  // namespace quillet
