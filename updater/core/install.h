#pragma once
// The install step of a run, and its undoing (the design: install.cpp).
// Worker thread, except RollBackUpdate, which the dialog may also call on the
// user-interface thread once the worker has ended or been left behind.

#include "updater/base/update_job_state.h"
#include "updater/core/run_downloads.h"

// Downloads, checks, backs up and puts in place every file of plan.FileUrlMap
// below paths.exeFolder, in table order, keeping record to what it changed.
// True once every file is in place and the journal committed: the work
// folders and kept downloads are then gone. False leaves everything for
// RollBackUpdate.
bool InstallUpdate(const RunPaths& paths, const UpdatePlan& plan, InstallRecord& record,
                   const RunDownloads& run);

// Plays back the journal of a failed run of plan, and keeps the kept
// downloads the plan can continue. True when everything was put back (or
// nothing had changed); otherwise what could not be stays for the next start.
bool RollBackUpdate(const RunPaths& paths, const UpdatePlan& plan, const InstallRecord& record);
