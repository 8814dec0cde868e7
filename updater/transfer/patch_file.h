#pragma once
// Applying a downloaded patch on disk: the base and the patch are read through
// read-only file mappings, the output is written to a new file piece by piece.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Makes outPath (created or truncated) from basePath and patchPath (ANSI
// paths). False, with outPath possibly part-written, when a file cannot be
// opened or mapped, the patch does not apply to this base, or a write fails.
bool ApplyPatchFile(const std::string& basePath, const std::string& patchPath, const std::string& outPath);

// What became of applying a patch held open by the caller.
enum class PatchFileStatus {
  kApplied,
  kUnreadable,     // the base or the patch cannot be opened or mapped
  kTargetTooLong,  // the header's target is longer than allowed
  kNotSmaller,     // the patch is no smaller than what it makes
  kFailed,         // it does not apply to this base, or a write failed
  kStopped,        // onPiece asked to stop (a cancel)
};

// Writes what patch makes from the file at basePath to out, from out's
// current position, and passes each piece written to onPiece as well; false
// from onPiece stops at once. The patch is read through its own open handle
// (read access). A header whose target is longer than maxTargetLength, or no
// longer than the patch itself, is refused before anything is written.
PatchFileStatus ApplyPatchFile(const std::string& basePath, HANDLE patch, HANDLE out,
                               uint64_t maxTargetLength,
                               const std::function<bool(const unsigned char*, std::size_t)>& onPiece);
