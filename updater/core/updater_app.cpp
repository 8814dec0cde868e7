#include "updater/core/updater_app.h"

namespace {

// Static storage: every field starts at zero, as the start-up expects.
UpdaterApp theApp;

}  // namespace

UpdaterApp& App() { return theApp; }
