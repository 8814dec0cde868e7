#include "updater/base/file_name_rules.h"

#include <cstring>

#include "updater/base/text_rules.h"

namespace {
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

bool IsDeviceName(const std::string& name) {
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = UpperAscii(c);
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* device : kDevices) {
    if (base == device) return true;
  }
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '0' && base[3] <= '9';
}

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.back() == '.' || name.back() == ' ') return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (IsGbkLeadByte(c)) {
      // A double-byte character needs its trail byte, which is never a separator.
      if (i + 1 >= name.size() || !IsGbkTrailByte(static_cast<unsigned char>(name[i + 1]))) return false;
      ++i;
      continue;
    }
    if (c < 0x20 || c == 0x7F || c == 0xFF) return false;
    if (std::strchr("<>:\"/\\|?*", static_cast<char>(c)) != nullptr) return false;
  }
  return !IsDeviceName(name);
}
