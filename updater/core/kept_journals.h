#pragma once
// Journals that no play-back can finish, set aside with their backups so that
// they never block a later update, and kept for support.
//
// The set-aside folder (install_paths::kKeptFolderName, in the client folder)
// holds sets named 1, 2, 3 ... in the order they came: each is the
// TempBackUpFolder of one run, renamed whole, so its journal and its backup
// copies keep the layout the run gave them, and every path in it fits as it
// did there. Worker thread or start-up, under the folder's lock.

#include <cstdint>
#include <string>

#include "updater/base/update_job_state.h"

namespace kept_journals {

// At most this many sets are kept, and older ones go while all of them
// together hold more than kMaxBytes; the newest is always kept whole, since
// it may hold the only copy of a file from before its run.
constexpr int kMaxSets = 3;
constexpr std::uint64_t kMaxBytes = std::uint64_t{256} << 20;
// A play-back that fails with no file in use to wait for is tried at this
// many starts before its journal is set aside.
constexpr int kMaxUnfinishedStarts = 3;

// Moves paths.backupFolder, journal and backups, into the set-aside folder
// as its newest set, then drops the oldest sets beyond the bounds, each named
// in the log. reason goes to the log. True once the journal has left
// TempBackUpFolder; setPath then names its set.
bool SetJournalAside(const RunPaths& paths, const char* reason, std::string& setPath);

}  // namespace kept_journals
