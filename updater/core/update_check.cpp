#include "updater/core/update_job.h"

// Placeholder until the update check lands.
bool UpdateJob::CheckAndInstall() { return false; }
bool ReadFileVersion(const std::string&, FileVersion&) { return false; }
