#pragma once
// Conversions between the publisher's UTF-8 names and the code page 936 (GBK)
// texts of the manifest, through the C library's iconv.

#include <optional>
#include <string>

namespace publish {

// nullopt when text is not UTF-8 or holds a character GBK cannot write.
std::optional<std::string> Utf8ToGbk(const std::string& text);

// True when text has bytes above 0x7F and all of it is well-formed UTF-8: a
// sign that a manifest meant for GBK was saved as UTF-8.
bool LooksLikeUtf8(const std::string& text);

// For messages: the GBK text as UTF-8, with bytes that do not convert shown
// as \xNN.
std::string GbkForDisplay(const std::string& text);

}  // namespace publish
