#include "updater/core/update_job.h"

// Placeholder until the download client lands.
bool UpdateJob::DownloadManifest(const std::string&) { return false; }
