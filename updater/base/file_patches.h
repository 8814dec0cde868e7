#pragma once
// The patches a manifest offers for its files: each turns one exact earlier
// version of a file (its base, named by SHA-256) into the file the release
// lists. See docs/manifest-patches.md for the keys.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct FilePatch {
  std::string baseSha256;  // 64 hex digits, either case
  std::string url;
  std::string sha256;   // of the patch itself
  uint64_t length = 0;  // of the patch itself
};

// FilePath -> its patches, in manifest order. A FilePath listed by a later
// release takes that release's patches (or none): patches made for an earlier
// version of the file would not make the file now listed.
using FilePatchTable = std::map<std::string, std::vector<FilePatch>>;
