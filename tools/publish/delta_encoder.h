#pragma once
// Makes the binary patches that Torvane applies (docs/patch-format.md). The
// base is suffix-sorted (libdivsufsort); the target is then walked once,
// finding for each stretch the base bytes that make it most cheaply by adding
// small differences, with whatever matches nothing carried as extra bytes.

#include <string>
#include <vector>

namespace delta {

// A patch from base to target. False only when the base is too large for the
// suffix sorter (2 GiB) or compression fails.
bool MakePatch(const std::vector<unsigned char>& base, const std::vector<unsigned char>& target,
               std::vector<unsigned char>& patch);

// Applies patch to base in memory; false unless the result is exactly target.
bool PatchMakesTarget(const std::vector<unsigned char>& patch, const std::vector<unsigned char>& base,
                      const std::vector<unsigned char>& target);

}  // namespace delta
