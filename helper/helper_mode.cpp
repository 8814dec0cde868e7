#include "helper/helper_mode.h"

#include <cstddef>

namespace quillet {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

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
  std::size_t i = 0;
  const std::size_t n = commandLine.size();
  if (n > 0 && commandLine[0] == L'"') {
    // An unterminated quote makes the whole line the program name.
    i = commandLine.find(L'"', 1);
    i = (i == std::wstring::npos) ? n : i + 1;
  } else {
    while (i < n && !IsBlank(commandLine[i])) ++i;
  }
  while (i < n && IsBlank(commandLine[i])) ++i;
  return commandLine.substr(i);
}

HelperMode ParseHelperMode(const std::wstring& modeText) {
  if (EqualsIgnoringAsciiCase(modeText, L"/Recommend")) return HelperMode::Recommend;
  if (EqualsIgnoringAsciiCase(modeText, L"/WriteCookie")) return HelperMode::WriteCookie;
  if (EqualsIgnoringAsciiCase(modeText, L"/ClearCookie")) return HelperMode::ClearCookie;
  return HelperMode::Unknown;
}

}  // namespace quillet
