#pragma once
// The download step's first try for a file the manifest offers patches for:
// a patch from the file the client has, instead of the whole file.

#include <string>

#include "updater/core/update_job.h"

// Worker thread. When the client's own copy of filePath is the base of one of
// its patches, downloads that patch (the smallest such) through the job's
// client, checks its length and SHA-256, applies it into tempFile and checks
// the result with the file's own MD5 and SHA-256. True only with tempFile
// complete and checked; false for any reason at all, and the caller then
// downloads the whole file as if no patch had been offered.
bool DownloadByPatch(UpdateJob& job, const std::string& filePath, const std::string& tempFile);
