#include "updater/base/manifest.h"
#include "updater/base/manifest_file_reader.h"
#include "updater/core/update_job.h"

// The manifest readers of the job, on HistoryVersionList.cfg.

bool UpdateJob::ReadVersionIndex(bool& multiStep, bool& releaseSelected) {
  return manifest::ReadVersionIndex(Manifest(), *this, multiStep, releaseSelected);
}

bool UpdateJob::ReadSingleVersion() { return manifest::ReadSingleVersion(Manifest(), *this); }

bool UpdateJob::ReadVersionRange() { return manifest::ReadVersionRange(Manifest(), *this); }
