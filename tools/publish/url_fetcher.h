#pragma once
// Downloads a list of URLs with libcurl, a bounded number at a time, hashing
// each body as it arrives (nothing is kept in memory or on disk).

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/publish/publish_crypto.h"

namespace publish {

struct FetchOutcome {
  std::string error;       // a transfer failure, in curl's words; empty otherwise
  bool timedOut = false;   // the host let this request time out
  bool unreachable = false;  // the host cannot be reached (refused, unknown), or was not tried for that
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

// What the fetches of one command learned of each host, kept from one fetch to
// the next (files, patches, the served manifest): a host that let a request
// time out, or that cannot be reached, is asked no more.
class HostRecord {
 public:
  // Why url is not to be tried, or empty when its host may be asked.
  std::string NotTried(const std::string& url, bool& unreachable) const;
  void NoteTimedOut(const std::string& url);
  void NoteUnreachable(const std::string& url, const std::string& error);
  // "host:port" -> the first error, of each host that cannot be reached.
  const std::map<std::string, std::string>& Unreachable() const { return unreachable_; }

 private:
  std::set<std::string> silent_;
  std::map<std::string, std::string> unreachable_;
};

// The body of a 2xx answer at url, at most limit bytes, kept in bytes; false
// with an error text otherwise (what hosts learned is noted in them).
bool FetchBody(const std::string& url, std::size_t limit, long timeoutSec, HostRecord& hosts, std::string& bytes,
               std::string& error, bool* unreachable = nullptr);

// One outcome per URL, in the order given. At most parallel transfers run at
// once; each gives up after connectTimeoutSec without a connection or
// stallTimeoutSec without a byte; the URLs of a host that let a request time
// out, or cannot be reached, fail at once once that is known. progress, when
// set, is called now and then.
std::vector<FetchOutcome> FetchAll(const std::vector<std::string>& urls, int parallel,
                                   const std::function<void(const FetchProgress&)>& progress, HostRecord& hosts,
                                   long connectTimeoutSec = 30, long stallTimeoutSec = 60);

}  // namespace publish
