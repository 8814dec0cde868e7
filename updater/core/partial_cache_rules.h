#pragma once
// The names and the record of the partial-download cache, the work folder
// UpdatePartialFolder beside the client's files. A download that a failed or
// killed run leaves unfinished is kept there and continued by the next run.
// Each entry is two files named after its key (docs/partial-cache.md):
//   <key>.part  the first bytes of the body, as they arrived;
//   <key>.head  the record that says what body they belong to.
// Portable: no Windows call.

#include <cstdint>
#include <optional>
#include <string>

namespace partial_cache {

constexpr const char kPartSuffix[] = ".part";
constexpr const char kHeadSuffix[] = ".head";

// 32 lowercase hex digits naming the entry of one file: the MD5 of its URL and
// its expected digests, so that a file whose manifest entry changes gets a
// fresh entry.
std::string EntryKey(const std::string& url, const std::string& md5Expected,
                     const std::string& sha256Expected);

// What a .head file says of the body that the .part file begins.
struct Head {
  int64_t total = 0;      // the body's whole length as the server announced it
  std::string validator;  // the ETag or Last-Modified date that guards it
};
std::string FormatHead(const Head& head);
// nullopt for anything but a whole, sound record.
std::optional<Head> ParseHead(const std::string& text);

// The entry key that a file name of the cache folder belongs to, or nullopt
// for a name the cache never makes.
std::optional<std::string> KeyOfName(const std::string& name);

}  // namespace partial_cache
