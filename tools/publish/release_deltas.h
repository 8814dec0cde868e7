#pragma once
// The patches of a release (release --deltas): for every new or changed file,
// a patch from each earlier version of it that clients may have (the file in
// --from and in every --delta-base folder), kept only when clearly smaller
// than the file. They are served next to the file as
// <file>.from-<first 16 hex digits of the base's SHA-256>.tvdp and named in the
// manifest by the keys of docs/manifest-patches.md.

#include <filesystem>
#include <string>
#include <vector>

#include "tools/publish/manifest_text.h"

namespace publish {

struct ReleaseOptions;
struct ReleaseFile;

// A patch is kept when it is under this share of the file's size.
constexpr double kPatchKeepRatio = 0.6;

struct ReleasePatch {
  std::string relative;  // under SERVED_DIR/<version>/, '/' between folders
  std::string url;
  std::string baseSha256;
  std::string sha256;
  std::string bytes;
};

// Makes the patches of every file of files from its versions in fromDir and
// baseDirs (relative paths as in the release), into each file's patches,
// printing progress on standard output. A file or base over
// options.deltaMax gets no patch. Notes on what was made or skipped go to notes.
void PlanPatches(const ReleaseOptions& options, std::vector<ReleaseFile>& files,
                 std::vector<std::string>& notes);

// The manifest keys of file entry index's patches.
void AppendPatchKeys(std::size_t index, const ReleaseFile& file, ManifestText::Keys& keys);

// Writes the file's patches under served (SERVED_DIR/<version>); the files it
// adds go to written, so that a refused release can take them back.
bool WritePatches(const std::string& served, const ReleaseFile& file,
                  std::vector<std::filesystem::path>& written, std::string& error);

}  // namespace publish
