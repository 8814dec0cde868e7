#pragma once
// The install journal on disk (its format is in install_journal.h) and its
// play-back, at start-up and by the rollback of a failed run.

#include <string>

#include "updater/base/update_job_state.h"
#include "updater/core/install_journal.h"

// Creates the journal in backupFolder with its header only, written through to
// the disk. False when it cannot be written: the run must not touch a file.
bool StartInstallJournal(const std::string& backupFolder);

// Appends one record and writes it through to the disk before returning.
bool AppendInstallJournal(const std::string& backupFolder, const install_journal::Record& record);

// True when backupFolder holds a journal that still has to be played back: one
// that is not committed, or that cannot be read.
bool HasUnplayedJournal(const std::string& backupFolder);

// Plays back the journal in paths.backupFolder (restores every destination it
// names that still holds what the run wrote, and puts aside files back, unless
// the journal is committed; the backup of a file replaced since is dropped),
// then removes both work folders. True when every
// step succeeded or there was no journal. Otherwise the journal, the backup
// copies and the downloads stay for the next play-back, and false.
bool PlayBackInstallJournal(const RunPaths& paths);

// Removes both work folders unless they hold an unplayed journal; the journal
// goes first, so that no journal outlives the backup copies it relies on.
bool RemoveWorkFolders(const RunPaths& paths);

// The work folders of the client folder exeFolder (with a trailing backslash).
RunPaths WorkFoldersOf(const std::string& exeFolder);

// Start-up, user-interface thread, once the client has exited and before
// anything else touches the work folders: the play-back of the journal a
// killed or failed run left. Shows nothing. What it cannot restore stays for
// the next start while a file is in use, or for a few starts after other
// failures; a journal nobody can resolve (a destination not recognised) is
// set aside with its backups at once (kept_journals.h), so that it never
// blocks the update.
void RecoverInterruptedInstall(const std::string& exeFolder);
