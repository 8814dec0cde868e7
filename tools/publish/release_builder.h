#pragma once
// Builds one release: compares the old and new release folders, copies the new
// and changed files under SERVED_DIR/<version>/ and adds the release to the
// manifest. Everything the updater would refuse or misread is refused before
// anything is written.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/publish/publish_crypto.h"
#include "tools/publish/release_deltas.h"

namespace publish {

struct ReleaseOptions {
  std::string manifestPath;
  std::string version;
  std::string fromDir;
  std::string toDir;
  std::string baseUrl;
  std::string outDir;
  std::string name;         // CurrentVersionNum; the version when empty
  std::string fromVersion;  // the old folder's version; needed to start a manifest
  // --deltas: patches from earlier versions of each file, those of fromDir
  // and of deltaBases (older release folders).
  bool deltas = false;
  std::vector<std::string> deltaBases;
  // Files larger than this get no patch (memory: about 6 bytes a byte).
  uint64_t deltaMax = uint64_t{1} << 30;
  std::string reportUrl = std::string();  // [Root] ReportUrl to set; empty keeps the manifest's
};

struct ReleaseFile {
  std::string relative;  // UTF-8, '/' between folders
  std::string source;    // path of the file in the new folder
  std::string filePath;  // GBK, leading backslash
  std::string url;
  FileDigests digests;
  std::vector<ReleasePatch> patches;
};

struct ReleasePlan {
  std::vector<ReleaseFile> files;
  std::string manifest;  // the new manifest's bytes
  std::vector<std::string> warnings;
  std::vector<std::string> errors;  // not empty: the release is refused
};

// Reads the folders and the manifest and plans the release; writes nothing.
ReleasePlan PlanRelease(const ReleaseOptions& options);

// Copies the files and checks the copies against the plan, then writes
// plan.manifest and, when given, the signature file's text beside the live
// files and renames them into place (the signature first). On a failure the
// files copied are taken back and the manifest and its signature are as before.
bool CommitRelease(const ReleaseOptions& options, const ReleasePlan& plan, const std::string* signature,
                   std::string& error);

// Percent-encodes every byte outside A-Z a-z 0-9 - . _ ~ of each segment of a
// '/'-separated path.
std::string EncodeUrlPath(const std::string& relative);

}  // namespace publish
