#include "updater/core/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Case {
  std::vector<const char*> args;  // after the program name
  bool accepted;
  UpdateMode mode;
};

TEST(CommandLine, FirstArgumentChoosesTheMode) {
  const Case cases[] = {
      {{}, true, UpdateMode::Forced},
      {{"/CommonUpdate"}, true, UpdateMode::Common},
      {{"/commonupdate"}, true, UpdateMode::Common},
      {{"/COMMONUPDATE"}, true, UpdateMode::Common},
      {{"/cOmMoNuPdAtE"}, true, UpdateMode::Common},
      {{"/ForceUpdate"}, true, UpdateMode::Forced},
      {{"/forceupdate"}, true, UpdateMode::Forced},
      {{"/Upgrade"}, true, UpdateMode::Forced},
      {{"/UPGRADE"}, true, UpdateMode::Forced},
      // Only the first argument counts.
      {{"/CommonUpdate", "/ForceUpdate"}, true, UpdateMode::Common},
      {{"/Upgrade", "junk"}, true, UpdateMode::Forced},
      {{"/Restart", "/CommonUpdate"}, false, UpdateMode::Forced},
      // Anything else ends the run.
      {{""}, false, UpdateMode::Forced},
      {{"/Common"}, false, UpdateMode::Forced},
      {{"CommonUpdate"}, false, UpdateMode::Forced},
      {{"-CommonUpdate"}, false, UpdateMode::Forced},
      {{"/CommonUpdate "}, false, UpdateMode::Forced},
      {{" /ForceUpdate"}, false, UpdateMode::Forced},
      {{"/ForceUpdates"}, false, UpdateMode::Forced},
      {{"/Upgrade\xd6\xd0"}, false, UpdateMode::Forced},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv = {"Torvane.exe"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.push_back(nullptr);
    // A sentinel shows whether a refused line leaves the mode alone.
    UpdateMode mode = UpdateMode::Common == c.mode ? UpdateMode::Forced : UpdateMode::Common;
    const UpdateMode before = mode;
    const bool accepted = ParseUpdateMode(static_cast<int>(argv.size() - 1), argv.data(), mode);
    const std::string shown = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(accepted, c.accepted) << shown;
    if (c.accepted) EXPECT_EQ(mode, c.mode) << shown;
    else EXPECT_EQ(mode, before) << shown;
  }
}

}  // namespace
