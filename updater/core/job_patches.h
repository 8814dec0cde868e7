#pragma once
// How the download step gets one file of the table: a patch from the file the
// client has, when the manifest offers one for it, and the whole file
// otherwise or whenever the patch cannot make the listed file. This is the
// one place that chooses; the whole-file fetch (update_file_fetch.h) knows
// nothing of patches.

#include "updater/core/update_file_fetch.h"

// A download queue's thread. Tries a patch when plan offers patches, then the
// whole file (FetchUpdateFile). May raise TransferError.
bool FetchPatchedOrWhole(DownloadClient& client, const FetchPlan& plan, DownloadProgress* progress,
                         FetchedFile& out);

// When the client's own copy of the file is the base of one of plan's
// patches, fetches that patch (the smallest such) through client, checks its
// length and SHA-256, and applies it into a new file held like a download,
// hashed as it is written. The output is bounded by the whole-file limit and
// checked against the listed digests. True only with out complete and its
// digests those listed; false for any reason at all (out then holds nothing),
// and the caller fetches the whole file instead. May raise TransferError.
bool FetchByPatch(DownloadClient& client, const FetchPlan& plan, DownloadProgress* progress,
                  FetchedFile& out);
