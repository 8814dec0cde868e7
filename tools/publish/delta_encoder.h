#pragma once
// Makes the binary patches that Torvane applies (docs/patch-format.md). The
// base is suffix-sorted (libdivsufsort); the target is then walked once,
// finding for each stretch the base bytes that make it most cheaply by adding
// small differences, with whatever matches nothing carried as extra bytes.

#include <functional>
#include <string>
#include <vector>

#include "updater/transfer/delta_patch.h"

namespace delta {

// Told where the work is: sorting the base, then matching (fraction of the
// target walked), once per pass: the target is matched in three ways, x64
// programs again in two rounds of the program transform, and machine code
// with the branch transform.
enum class PatchStage { kSorting, kMatching };
using PatchProgress = std::function<void(PatchStage, double fraction)>;

// A patch from base to target, of a format version up to version: version 3
// only when both files are x64 programs and its transform makes the smaller
// patch, version 2 otherwise (1 when version says so, for clients that predate
// version 2). False only when the base is too large for the suffix sorter
// (2 GiB) or compression fails.
// Memory beyond the two files: the base's suffix array (4 bytes a byte), the
// compressed patch, and each stream's raw bytes while under 4 MiB.
bool MakePatch(const std::vector<unsigned char>& base, const std::vector<unsigned char>& target,
               std::vector<unsigned char>& patch, unsigned char version = kPatchVersion);

// The same without copies: base and target are changed while it works and are
// as given again on return.
bool MakePatchInPlace(std::vector<unsigned char>& base, std::vector<unsigned char>& target,
                      std::vector<unsigned char>& patch, const PatchProgress& progress = {},
                      unsigned char version = kPatchVersion);

// Applies patch to base in memory; false unless the result is exactly target.
bool PatchMakesTarget(const std::vector<unsigned char>& patch, const std::vector<unsigned char>& base,
                      const std::vector<unsigned char>& target);

}  // namespace delta
