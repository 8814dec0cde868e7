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
  bool timedOut = false;   // the host let this request time out
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

// "host:port" of a URL, or empty when it cannot be parsed.
std::string HostOf(const std::string& url);

// The error of a URL not tried because its host let a request time out.
std::string SilentHostError(const std::string& host);

// The body of a 2xx answer at url, at most limit bytes, kept in bytes; false
// with an error text otherwise (timedOut set when the host let it time out).
bool FetchBody(const std::string& url, std::size_t limit, long timeoutSec, std::string& bytes, std::string& error,
               bool* timedOut = nullptr);

// One outcome per URL, in the order given. At most parallel transfers run at
// once; each gives up after connectTimeoutSec without a connection or
// stallTimeoutSec without a byte; once a host has let a request time out, its
// URLs not yet started fail at once. progress, when set, is called now and then.
std::vector<FetchOutcome> FetchAll(const std::vector<std::string>& urls, int parallel,
                                   const std::function<void(const FetchProgress&)>& progress,
                                   long connectTimeoutSec = 30, long stallTimeoutSec = 60);

}  // namespace publish
