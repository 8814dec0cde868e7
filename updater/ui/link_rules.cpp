#include "updater/ui/link_rules.h"

#include <cstdio>

#include "updater/base/text_rules.h"

namespace {

// Position of needle in text, comparing only at character starts so that the
// trail byte of a double-byte character never begins a match.
std::size_t FindMultibyte(const std::string& text, const std::string& needle) {
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, needle.size(), needle) == 0) return i;
    i += IsGbkLeadByte(static_cast<unsigned char>(text[i])) ? 2 : 1;
  }
  return std::string::npos;
}

}  // namespace

std::string CutOpenCommand(const std::string& command) {
  std::size_t at = FindMultibyte(command, "\"%1\"");
  if (at == std::string::npos) at = FindMultibyte(command, "%1");
  return at == std::string::npos ? command : command.substr(0, at);
}

std::string LinkErrorMessage(int status) {
  switch (status) {
    case 0: return "The operating system is out\nof memory or resources.";
    case 2: return "The specified file was not found.";
    case 3: return "The specified path was not found.";
    case 5: return "The operating system denied\naccess to the specified file.";
    case 8: return "There was not enough memory to complete the operation.";
    case 11: return "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
    case 26: return "A sharing violation occurred. ";
    case 27: return "The filename association is\nincomplete or invalid.";
    case 28: return "The DDE transaction could not\nbe completed because the request timed out.";
    case 29: return "The DDE transaction failed.";
    case 30:
      return "The DDE transaction could not\nbe completed because other DDE transactions\n"
             "were being processed.";
    case 31: return "There is no application associated\nwith the given filename extension.";
    case 32: return "The specified dynamic-link library was not found.";
    default: {
      char text[64];
      std::snprintf(text, sizeof text, "Unknown Error (%d) occurred.", status);
      return text;
    }
  }
}

std::string LinkErrorReport(int status) {
  return "Unable to open hyperlink:\n\n" + LinkErrorMessage(status);
}

LinkRect FitLinkRect(LinkRect rect, unsigned long style, long cx, long cy) {
  if (style & kLinkStyleCenterImage) {
    const long dy = ((rect.bottom - rect.top) - cy) / 2;
    rect.top += dy;
    rect.bottom -= dy;
  } else {
    rect.bottom = rect.top + cy;
  }
  if (style & kLinkStyleCenter) {
    const long dx = ((rect.right - rect.left) - cx) / 2;
    rect.left += dx;
    rect.right -= dx;
  } else if (style & kLinkStyleRight) {
    rect.left = rect.right - cx;
  } else {
    rect.right = rect.left + cx;
  }
  return rect;
}
