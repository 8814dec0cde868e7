#pragma once
// Applying a downloaded patch on disk: the base and the patch are read through
// read-only file mappings, the output is written to a new file piece by piece.

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>

// Makes outPath (created or truncated) from basePath and patchPath (ANSI
// paths). False, with outPath possibly part-written, when a file cannot be
// opened or mapped, the patch does not apply to this base, or a write fails.
bool ApplyPatchFile(const std::string& basePath, const std::string& patchPath, const std::string& outPath);

// Writes what patch makes from the file at basePath to out, from out's
// current position, and passes each piece written to onPiece as well. The
// patch is read through its own open handle (read access).
bool ApplyPatchFile(const std::string& basePath, HANDLE patch, HANDLE out,
                    const std::function<void(const unsigned char*, std::size_t)>& onPiece);
