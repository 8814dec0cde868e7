#pragma once
// The file operations that put a file in place, shared by the installation,
// RestoreBackups and the play-back of an install journal at start-up, so that
// a restore is as strong as the install: a read-only attribute never blocks
// it, a file in use is moved aside, and a folder is never renamed or deleted.

#include <windows.h>

#include <functional>
#include <string>

#include "updater/core/install_journal.h"

bool IsFile(const std::string& path);
bool IsFolder(const std::string& path);

// Clears a read-only attribute, so that the file can be overwritten or
// deleted. Nothing happens to a folder or to a path that does not exist.
void ClearReadOnly(const std::string& path);

// Writes what the system still holds of the file to the disk.
bool FlushFileToDisk(const std::string& path);

// The identity of the file open under handle (which needs write access): its
// file ID, and its last-write time, fixed now through the handle so that
// closing it cannot move the time on.
bool IdentifyPlacedFile(HANDLE file, install_journal::PlacedFile& identity);

// The identity of the file at path, when it can be read.
bool IdentityOf(const std::string& path, install_journal::PlacedFile& identity);

// True when no one has the file open: it can then be renamed without taking a
// file in use away from its user (a running program keeps its files open).
bool NobodyHasOpen(const std::string& path);

// Renames source to destination on the same volume, when destination does not
// exist or no one has it open (a read-only one included): nothing is copied
// and no disk space is needed. False, with both untouched, otherwise.
bool MoveFileInPlace(const std::string& source, const std::string& destination);

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
