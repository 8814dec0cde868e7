#pragma once
// Applying a downloaded patch on disk: the base and the patch are read through
// read-only file mappings, the output is written to a new file piece by piece.

#include <string>

// Makes outPath (created or truncated) from basePath and patchPath (ANSI
// paths). False, with outPath possibly part-written, when a file cannot be
// opened or mapped, the patch does not apply to this base, or a write fails.
bool ApplyPatchFile(const std::string& basePath, const std::string& patchPath, const std::string& outPath);
