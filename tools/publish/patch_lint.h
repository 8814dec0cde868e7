#pragma once
// lint --fetch for the patches a manifest names: each is fetched and must have
// its listed length and SHA-256, and applied to its base (the file of an entry
// for the same FilePath whose FileSha256 is the patch's base) it must make the
// entry's file. A base that no release serves is looked for in the local
// folders of older releases (--delta-base). Patch, base and file are held in
// memory one patch at a time.

#include <functional>
#include <string>
#include <vector>

#include "tools/publish/manifest_lint.h"
#include "tools/publish/url_fetcher.h"

namespace publish {

// As lint --fetch fetches the files: jobs transfers at once for the patches'
// own checks, each giving up after timeoutSec without a connection or a byte,
// no more requests to a host that let one time out or cannot be reached (as
// hosts learned in the fetches before), and progress now and then.
struct PatchFetchOptions {
  int jobs = 4;
  long timeoutSec = 30;
  std::function<void(const FetchProgress&)> progress;
  HostRecord* hosts = nullptr;
  std::vector<std::string> deltaBases;  // folders of older releases, as given to release
};

void CheckFetchedPatches(const std::string& manifest, const std::vector<FileEntry>& files,
                         const PatchFetchOptions& options, LintResult& result);

}  // namespace publish
