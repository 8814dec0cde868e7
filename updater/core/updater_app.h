#pragma once
// The application object of Torvane: one per process, owned by WinMain.

#include <string>

class UpdateDialog;

struct UpdaterApp {
  std::string exeFolder;       // the updater's folder, with a trailing backslash
  int forceUpdate = 0;         // 1 for "/ForceUpdate", "/Upgrade" and no switch
  int trayAnimationCounter = 0;
  UpdateDialog* mainWindow = nullptr;
};

// The one application object of the process.
UpdaterApp& App();
