#pragma once
// The restore of one destination to its state from before the run, shared by
// RestoreBackups and the play-back of an install journal at start-up, so that
// a restore is as strong as the install (placement.h).

#include <string>

#include "updater/core/placement.h"

// Gives destination back its state from before the run; true once it has it.
// aside, when not empty, is a file that holds the destination as it was (moved
// there by the run): it is put back first. Otherwise a destination that
// existed gets its backup copy, moved back when it can be, else copied; one
// that did not is deleted. A copy is made under a work name beside the
// destination, flushed, then renamed over it, so that a copy cut short never
// stands at the destination; when there is no room for it (a full disk), the
// destination, which holds only what the run wrote, goes first. A new file
// in use that blocks the way is moved to setAside, a name in a work folder
// that no journal record gives a meaning to: the .bak name is never touched
// here, so a restore cut short can be repeated. False, with the backup copy
// kept, when the old state cannot be put back.
bool RestoreDestination(const std::string& destination, const std::string& backupCopy,
                        const std::string& aside, bool existed, const std::string& setAside);

// Deletes what a copy-back killed before its rename left beside destination,
// under this updater's work name or the one older updaters used.
void RemoveCopyBackLeftovers(const std::string& destination);
