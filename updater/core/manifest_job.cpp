#include "updater/core/update_job.h"

// Placeholder until the manifest readers land.
bool UpdateJob::ReadVersionIndex(bool&, bool&) { return false; }
bool UpdateJob::ReadSingleVersion() { return false; }
bool UpdateJob::ReadVersionRange() { return false; }
