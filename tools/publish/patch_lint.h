#pragma once
// lint --fetch for the patches a manifest names: each is fetched and must have
// its listed length and SHA-256, and applied to its base (the file of an entry
// for the same FilePath whose FileSha256 is the patch's base) it must make the
// entry's file. Patch, base and file are held in memory one patch at a time.

#include <string>
#include <vector>

#include "tools/publish/manifest_lint.h"

namespace publish {

void CheckFetchedPatches(const std::string& manifest, const std::vector<FileEntry>& files,
                         LintResult& result);

}  // namespace publish
