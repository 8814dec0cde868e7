#pragma once
// The download step's first try for a file the manifest offers patches for:
// a patch from the file the client has, instead of the whole file.

#include "updater/core/update_file_fetch.h"

// The download of one of plan's patches: its own URL, digest and length, and
// a place in the partial-download cache of its own.
FetchPlan PatchPlanFor(const FetchPlan& plan, const FilePatch& patch);

// A download queue's thread. When the client's own copy of the file is the
// base of one of plan's patches, fetches that patch (the smallest such)
// through client, checks its length and SHA-256, and applies it into a new
// file held like a download, hashed as it is written. True only with out
// complete; the install then checks its digests as for any download. False
// for any reason at all, and the caller fetches the whole file instead. May
// raise TransferError.
bool FetchByPatch(DownloadClient& client, const FetchPlan& plan, DownloadProgress* progress,
                  FetchedFile& out);
