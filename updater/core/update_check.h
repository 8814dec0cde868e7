#pragma once
// The update check: from the stored manifest to the table of files to
// install, held in the job's state. Worker thread.

#include <memory>

#include "updater/base/manifest_file_reader.h"
#include "updater/base/update_job_state.h"
#include "updater/core/run_downloads.h"

// How the check ended; only kReady lets the install start.
enum class UpdateCheck {
  kReady,
  kNoRootHeader,        // no [Root] header
  kNoReleaseList,       // the release list cannot be read
  kAsideNameClash,      // a file and its aside name are both listed
  kReleaseUnreadable,   // a release section lacks a required key
  kNoFiles,             // nothing to update
  kPathOutside,         // a FilePath leaves the client folder or is too long
  kTooManyFiles,        // more files than a journal a later start reads
  kNoSha256,            // a signed manifest lists a file without its SHA-256
  kCancelled,
};

// Reads the update's table from manifest into job (installedVersion and
// manifestKeys given), lets manifest go once read, and keeps only the kept
// downloads the table can continue. Then refuses a table the install must not
// start on, asks the client's download centre to quit, and shows the list.
UpdateCheck CheckForUpdate(std::unique_ptr<ManifestFileReader> manifest, UpdateJobState& job,
                           const RunDownloads& run);
