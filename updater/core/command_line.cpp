#include "updater/core/command_line.h"

#include "updater/base/text_rules.h"

bool ParseUpdateMode(int argc, const char* const* argv, UpdateMode& mode) {
  if (argc < 2 || argv[1] == nullptr) {
    mode = UpdateMode::Forced;
    return true;
  }
  const std::string first = argv[1];
  if (EqualsIgnoreAsciiCaseMb(first, "/CommonUpdate")) {
    mode = UpdateMode::Common;
    return true;
  }
  if (EqualsIgnoreAsciiCaseMb(first, "/ForceUpdate") || EqualsIgnoreAsciiCaseMb(first, "/Upgrade")) {
    mode = UpdateMode::Forced;
    return true;
  }
  return false;
}
