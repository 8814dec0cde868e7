#pragma once
// Text rules shared by the updater: C atoi as the profile readers use it, and
// the multibyte rules of code page 936, where a lead byte 0x81-0xFE starts a
// double-byte character whose second byte may look like '\\' or '.'.

#include <cstdint>
#include <string>

// The C library's atoi: leading white space, an optional sign, decimal digits;
// anything else ends the number and no digits give 0. Out-of-range values are
// clamped to the 32-bit range instead of overflowing.
int32_t AtoiText(const std::string& text);

inline bool IsGbkLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
inline bool IsGbkTrailByte(unsigned char c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFE); }

// Position of the last single-byte character ch in text, stepping over
// double-byte characters; std::string::npos when there is none.
std::size_t FindLastSingleByte(const std::string& text, char ch);

// Equal lengths and equal characters, with ASCII letters compared without
// regard to case; double-byte characters compare as units.
bool EqualsIgnoreAsciiCaseMb(const std::string& a, const std::string& b);
