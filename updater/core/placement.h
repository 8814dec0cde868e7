#pragma once
// Putting a checked download in place, and the file operations it shares with
// the restore of a destination (install_restore.h) and the play-back of an
// install journal: a read-only attribute never blocks them, a file in use is
// moved aside, and a folder is never renamed or deleted.

#include <windows.h>

#include <functional>
#include <string>

#include "updater/core/install_journal.h"
#include "updater/transfer/download_client.h"

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

// How PlaceHeldFile put the file in place, or why it could not.
struct Placement {
  bool renamed = false;                  // the held file itself took the name; else its bytes were copied
  bool cutOver = false;                  // a write over the destination began and failed: it holds a cut copy
  install_journal::PlacedFile identity;  // of the file now at destination
};

// Puts the held file at destination through its own handle: renamed there
// when destination is free, else written over it, else (in use) after
// moving destination to its aside name (destination + ".bak"); afterAside
// false fails the file. Before its bytes are copied over a destination, the held file is renamed to
// tempFile, where the play-back of a killed run finds what a cut copy came
// from. Its bytes are on disk before any rename publishes them. A write over
// the destination that fails part-way fails the file at once (cutOver): what
// it left is never moved aside as if it were the old file. On true the file is
// on disk, its identity taken, and its handle closed.
bool PlaceHeldFile(FileDownload& download, const std::string& destination, const std::string& tempFile,
                   const std::function<bool()>& beforeAside, const std::function<bool()>& afterAside,
                   Placement& placement);
