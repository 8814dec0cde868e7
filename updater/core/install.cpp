#include "updater/core/update_job.h"

// Placeholder until the installation pipeline lands.
bool UpdateJob::InstallFiles() { return false; }
bool UpdateJob::RestoreBackups() { return true; }
bool DeleteWorkFolder(const std::string&) { return false; }
bool CreateFolderPath(const std::string&) { return false; }
bool RegisterComServer(const std::string&) { return false; }
