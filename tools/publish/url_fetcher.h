#pragma once
// Downloads a list of URLs with libcurl, a bounded number at a time, hashing
// each body as it arrives (nothing is kept in memory or on disk).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/publish/publish_crypto.h"

namespace publish {

struct FetchOutcome {
  std::string error;       // a transfer failure, in curl's words; empty otherwise
  long status = 0;         // the final HTTP status
  bool hasLength = false;  // the answer carried Content-Length
  int64_t length = -1;     // its value
  FileDigests body;        // size and digests of the bytes received
};

struct FetchProgress {
  std::size_t done = 0;
  std::size_t total = 0;
  std::size_t running = 0;
  uint64_t bytes = 0;
};

// One outcome per URL, in the order given. At most parallel transfers run at
// once; each gives up after connectTimeoutSec without a connection or
// stallTimeoutSec without a byte; once a host has let a request time out, its
// URLs not yet started fail at once. progress, when set, is called now and then.
std::vector<FetchOutcome> FetchAll(const std::vector<std::string>& urls, int parallel,
                                   const std::function<void(const FetchProgress&)>& progress,
                                   long connectTimeoutSec = 30, long stallTimeoutSec = 60);

}  // namespace publish
