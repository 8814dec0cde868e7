#include "updater/core/update_job.h"

// Placeholder until the run sequence lands.
bool UpdateJob::Run(UpdateObserver*) { return false; }
bool UpdateJob::InitPaths() { return false; }
bool UpdateJob::ReadClientSettings() { return false; }
