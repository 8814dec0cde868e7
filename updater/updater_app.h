#pragma once
// The application object of Torvane: what the start-up learns before the
// dialog is made. WinMain owns the one instance of the process.

#include <string>

struct UpdaterApp {
  std::string exeFolder;  // the updater's folder, with a trailing backslash
  int forceUpdate = 0;    // 1 for "/ForceUpdate", "/Upgrade" and no switch
};
