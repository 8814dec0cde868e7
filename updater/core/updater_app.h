#pragma once
// The application object of Torvane: one per process, owned by WinMain.

#include <string>
#include <vector>

#include "updater/core/manifest_keys.h"

class UpdateDialog;

struct UpdaterApp {
  std::string exeFolder;       // the updater's folder, with a trailing backslash
  int forceUpdate = 0;         // 1 for "/ForceUpdate", "/Upgrade" and no switch
  int trayAnimationCounter = 0;
  UpdateDialog* mainWindow = nullptr;
  std::vector<ManifestKey> manifestKeys;  // given to every update job
};

// The one application object of the process.
UpdaterApp& App();
