#pragma once
// How the download step gets one file of the table: a patch from the file the
// client has, when the manifest offers one for it, and the whole file
// otherwise or whenever the patch cannot make the listed file. This is the
// one place that knows of patches: it plans what each file offers, chooses,
// and fetches and applies the patch; the whole-file fetch (update_file_fetch.h)
// gets only a URL.

#include <string>
#include <vector>

#include "updater/base/file_patches.h"
#include "updater/base/update_job_state.h"
#include "updater/core/update_file_fetch.h"

// One file of the table as the download step gets it.
struct FilePlan {
  FetchPlan whole;                                  // the whole file
  std::string clientFile;                           // exeFolder + FilePath: a patch's base
  const std::vector<FilePatch>* patches = nullptr;  // FilePatchMap's entry, if any
};

// The plans of plan's FileUrlMap, in table order; they point into its tables.
std::vector<FilePlan> PlanFileFetches(const RunPaths& paths, const UpdatePlan& plan);

// Every fetch the plans may make: each whole file, and each patch offered.
std::vector<FetchPlan> EveryFetchOf(const std::vector<FilePlan>& plans);

// What the download queue fetches for plan's table (PlanFileFetches), once
// the kept downloads that none of them may continue are removed.
std::vector<FilePlan> PlanUpdateDownloads(const RunPaths& paths, const UpdatePlan& plan);

// Removes the kept downloads that no fetch of plan may continue.
void KeepContinuableDownloads(const RunPaths& paths, const UpdatePlan& plan);

// The download of one of plan's patches: its own URL, digest and length, and
// a place in the partial-download cache of its own.
FetchPlan PatchPlanFor(const FetchPlan& plan, const FilePatch& patch);

// A download queue's thread. Tries a patch when plan offers patches, then the
// whole file (FetchUpdateFile). May raise TransferError.
bool FetchPatchedOrWhole(DownloadClient& client, const FilePlan& plan, DownloadProgress* progress,
                         FetchedFile& out);

// When the client's own copy of the file is the base of one of plan's
// patches, fetches that patch (the smallest such) through client, checks its
// length and SHA-256, and applies it into a new file held like a download,
// hashed as it is written. The output is bounded by the whole-file limit and
// checked against the listed digests. True only with out complete and its
// digests those listed; false for any reason at all (out then holds nothing),
// and the caller fetches the whole file instead. May raise TransferError.
bool FetchByPatch(DownloadClient& client, const FilePlan& plan, DownloadProgress* progress,
                  FetchedFile& out);
