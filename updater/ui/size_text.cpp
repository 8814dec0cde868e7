#include "updater/ui/size_text.h"

#include <cstdio>
#include <cstdlib>

std::string FormatSizeProgress(int32_t done, int32_t total) {
  const std::ldiv_t d = std::ldiv(done, 1000);
  const std::ldiv_t t = std::ldiv(total, 1000);
  char text[64];
  std::snprintf(text, sizeof text, "%ld.%ld/%ld.%ldk", d.quot, d.rem, t.quot, t.rem);
  return text;
}
