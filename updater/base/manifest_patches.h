#pragma once
// The optional patch keys of a release section's file entry <i>, patch <j>
// (j = 0, 1, ... up to kMaxPatchesPerFile, until FilePatchUrl<i>_<j> is absent):
//   FilePatchBase<i>_<j>    SHA-256 of the file the patch applies to
//   FilePatchUrl<i>_<j>     where the patch is
//   FilePatchSha256<i>_<j>  SHA-256 of the patch
//   FilePatchSize<i>_<j>    length of the patch in bytes (plain decimal)
// An entry with a field absent or malformed is skipped; older updaters read
// none of these keys.

#include <cstdint>
#include <string>
#include <vector>

#include "updater/base/file_patches.h"
#include "updater/base/profile_reader.h"

namespace manifest {

constexpr int kMaxPatchesPerFile = 8;
constexpr std::size_t kPatchDigestLimit = 64;
constexpr std::size_t kPatchSizeLimit = 20;

std::vector<FilePatch> ReadFilePatches(const ProfileReader& reader, const std::string& section,
                                       uint32_t fileIndex);

}  // namespace manifest
