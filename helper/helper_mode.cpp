#include "helper/helper_mode.h"

#include <algorithm>
#include <cstddef>

namespace quillet {
namespace {

// The C runtime takes every control character, and the space, as a blank
// when it cuts WinMain's tail from the command line.
bool IsBlank(wchar_t c) { return c <= L' '; }

wchar_t FoldAsciiUpper(wchar_t c) { return (c >= L'a' && c <= L'z') ? wchar_t(c - L'a' + L'A') : c; }

bool EqualsIgnoringAsciiCase(const std::wstring& text, const wchar_t* word) {
  std::size_t i = 0;
  for (; word[i] != L'\0'; ++i) {
    if (i == text.size() || FoldAsciiUpper(text[i]) != FoldAsciiUpper(word[i])) return false;
  }
  return i == text.size();
}

}  // namespace

std::wstring CommandTail(const std::wstring& commandLine) {
  // A C string ends at its first NUL.
  const std::size_t n = std::min(commandLine.find(L'\0'), commandLine.size());
  std::size_t i = 0;
  // Quotes open and close anywhere in the program name, and a blank inside
  // them belongs to the name; an unclosed quote runs to the end of the line.
  bool quoted = false;
  for (; i < n && (quoted || !IsBlank(commandLine[i])); ++i) {
    if (commandLine[i] == L'"') quoted = !quoted;
  }
  while (i < n && IsBlank(commandLine[i])) ++i;
  return commandLine.substr(i, n - i);
}

HelperMode ParseHelperMode(const std::wstring& modeText) {
  if (EqualsIgnoringAsciiCase(modeText, L"/Recommend")) return HelperMode::Recommend;
  if (EqualsIgnoringAsciiCase(modeText, L"/WriteCookie")) return HelperMode::WriteCookie;
  if (EqualsIgnoringAsciiCase(modeText, L"/ClearCookie")) return HelperMode::ClearCookie;
  return HelperMode::Unknown;
}

}  // namespace quillet
