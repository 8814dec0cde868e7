#pragma once
// The install journal on disk (its format is in install_journal.h) and its
// play-back at start-up.

#include <string>

#include "updater/core/install_journal.h"

// Creates the journal in backupFolder with its header only, written through to
// the disk. False when it cannot be written: the run must not touch a file.
bool StartInstallJournal(const std::string& backupFolder);

// Appends one record and writes it through to the disk before returning.
bool AppendInstallJournal(const std::string& backupFolder, const install_journal::Record& record);

// Start-up, user-interface thread, once the client has exited and before
// anything else touches the work folders: plays back the journal a killed run
// left (restores every destination it names and puts aside files back unless
// the journal is committed), then removes both work folders. Shows nothing and
// never fails: what it cannot restore stays as it is.
void RecoverInterruptedInstall(const std::string& exeFolder);
