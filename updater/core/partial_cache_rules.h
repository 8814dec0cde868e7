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
#include <vector>

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
  // The first bytes of the .part that were flushed to the disk before this
  // record was written: a power cut can leave the rest as zeros or nothing.
  // 0 in a record of an older updater, which had no such line.
  int64_t vouched = 0;
};
std::string FormatHead(const Head& head);
// nullopt for anything but a whole, sound record.
std::optional<Head> ParseHead(const std::string& text);

// How many first bytes of a .part of partSize bytes a run may continue under
// head: no more than the record vouches for or the file holds, and never the
// whole body, so that the server still confirms the validator with the last
// byte. 0, to start over, for a .part longer than the body.
int64_t KeptLength(const Head& head, int64_t partSize);

// A fetch rewrites the record, after flushing the .part, once this much of
// the body is not yet vouched for, or once bytes have waited this long: a cut
// then costs no more of what arrived, and a 200 MiB body about 100 flushes.
constexpr int64_t kVouchEveryBytes = 2 * 1024 * 1024;
constexpr uint64_t kVouchEveryMs = 2000;
bool VouchDue(int64_t unvouchedBytes, uint64_t msSinceVouch);

// The entry key that a file name of the cache folder belongs to, or nullopt
// for a name the cache never makes.
std::optional<std::string> KeyOfName(const std::string& name);

// Kept entries older than this are never continued: whatever server sent them
// has long moved on.
constexpr int64_t kMaxEntryAgeSeconds = 7 * 24 * 60 * 60;

// One file of the cache folder, with its last write in seconds on any clock
// that now is given on.
struct FolderFile {
  std::string name;
  int64_t writtenAt = 0;
};

// The files of folder to delete, so that what stays is of use to the run:
// entries older than kMaxEntryAgeSeconds; when continuable is given (the keys
// of the files the current table lists with a digest), every entry it does not
// name; then all but the keepAtMost newest entries. An entry is as new as the
// newer of its two files. Names the cache never makes are never listed.
std::vector<std::string> NamesToPrune(const std::vector<FolderFile>& folder, int64_t now,
                                      const std::vector<std::string>* continuable, std::size_t keepAtMost);

}  // namespace partial_cache
