#pragma once
// The update check: from the stored manifest to the plan of the update, the
// table of files to install. Worker thread.

#include <memory>
#include <vector>

#include "updater/base/manifest_file_reader.h"
#include "updater/base/update_job_state.h"
#include "updater/core/run_downloads.h"

// How the check ended; only kReady lets the install start.
enum class UpdateCheck {
  kReady,
  kNoRootHeader,       // no [Root] header
  kNoReleaseList,      // the release list cannot be read
  kAsideNameClash,     // a file and its aside name are both listed
  kReleaseUnreadable,  // a release section lacks a required key
  kNoFiles,            // nothing to update
  kPathOutside,        // a FilePath leaves the client folder or is too long
  kTooManyFiles,       // more files than a journal a later start reads
  kNoSha256,           // a signed manifest lists a file without its SHA-256
  kCancelled,
};

// What the check found: the plan is whole only when the outcome is kReady,
// and holds what was read before any other outcome.
struct CheckedUpdate {
  UpdateCheck outcome = UpdateCheck::kNoRootHeader;
  UpdatePlan plan;
};

// Reads the update's plan from manifest, for the installed release of
// settings, lets manifest go once read, and keeps only the kept downloads the
// plan can continue. Then refuses a plan the install must not start on (keys:
// the manifest was signed), asks the client's download centre to quit, and
// shows the list.
CheckedUpdate CheckForUpdate(std::unique_ptr<ManifestFileReader> manifest, const RunPaths& paths,
                             const ClientSettings& settings, const std::vector<ManifestKey>& keys,
                             const RunDownloads& run);
