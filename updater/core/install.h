#pragma once
// The install step of a run, and its undoing (the design: install.cpp).
// Worker thread, except RollBackUpdate, which the dialog may also call on the
// user-interface thread once the worker has ended or been left behind.

#include "updater/base/update_job_state.h"
#include "updater/core/run_downloads.h"

// Downloads, checks, backs up and puts in place every file of job.FileUrlMap,
// in table order, keeping job.BackupMap and job.AsideMap to what it changed.
// True once every file is in place and the journal committed: the tables are
// then cleared, the work folders and kept downloads gone. False leaves
// everything for RollBackUpdate.
bool InstallUpdate(UpdateJobState& job, const RunDownloads& run);

// Plays back the journal of a failed run, keeps the kept downloads the table
// can continue, and clears the tables. True when everything was put back (or
// nothing had changed); otherwise what could not be stays for the next start.
bool RollBackUpdate(UpdateJobState& job);
