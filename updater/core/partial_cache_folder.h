#pragma once
// The kept-download folder UpdatePartialFolder (its names and records:
// partial_cache_rules.h) has one owner, this file: it takes up what an earlier
// run kept of a body, records the body a fetch starts, drops an entry whose
// bytes turned out wrong, forgets one put in place, and prunes the folder to
// what a run can use.
//
// A fetch may continue kept bytes only when something checks the whole body
// afterwards: a file listed with a digest, or a patch (listed with its
// SHA-256). Every other entry is pruned once the table is known.
// Threads: the queue's transfers take up, record and drop their own entries;
// the worker prunes while no transfer runs.

#include <cstdint>
#include <string>
#include <vector>

#include "updater/core/partial_cache_rules.h"
#include "updater/core/update_file_fetch.h"
#include "updater/transfer/download_client.h"

// The cache key of one fetch.
std::string PartialKeyFor(const FetchPlan& plan);

// How opening a fetch's entry of the folder ended.
enum class KeptEntry {
  kOpened,       // download holds the entry's body, taken up or new
  kUnavailable,  // no entry for this run: its path is too long, or someone else holds it
  kCancelled,    // the client was cancelled meanwhile; the kept bytes stay
};

// Opens the entry of plan's fetch for its body: download gets the .part and
// headPath the record's path. What an earlier run kept is taken up when its
// record is sound and the kept bytes are no longer than the body: as many as
// the record vouches for (partial_cache::KeptLength), the rest cut away, their
// bytes through sink. The last byte is always fetched again, so that the
// server still confirms the validator. On any doubt the entry starts anew: the
// old bytes go before a new record can name them.
KeptEntry OpenKeptEntry(const FetchPlan& plan, FileDownload& download, std::string& headPath,
                        DownloadSink& sink, const DownloadClient& client);

// Passes a fetch's reports on to next (may be null), and keeps the record at
// headPath (none when empty) up to date: written whenever an answer starts or
// restarts the body, before any of its bytes are written, and again, after a
// flush of the body, as VouchDue says while it arrives. The record vouches
// only for bytes flushed before it was written. Runs on the fetch's thread.
class KeptBodyRecord : public DownloadProgress {
 public:
  KeptBodyRecord(DownloadProgress* next, const FileDownload& download, std::string headPath);
  void Started(int32_t announcedLength, int32_t step) override;
  void Received(int32_t bytesSoFar) override;
  void Finished(int32_t bytes) override;
  // The fetch ended unfinished (a cut line, a cancel, no answer): what
  // arrived is flushed and vouched for, so the next run continues all of it;
  // an entry that holds nothing would only leave an empty file in the client
  // folder, so it goes. download's file is closed.
  void KeepUnfinished(FileDownload& download);

 private:
  // Flushes the body and records what it holds.
  void Vouch();

  DownloadProgress* next_;
  const FileDownload& download_;
  std::string headPath_;
  partial_cache::Head written_;  // what the record on the disk says
  int64_t flushed_;              // the body's first bytes known to be on the disk
  uint64_t vouchedAt_ = 0;       // GetTickCount64 of the last Vouch
};

// Forgets the cache entry of a fetched file whose bytes turned out wrong.
void DropFetchedFile(FetchedFile& file);

// Deletes the record of a fetched file now in place: its .part name went with
// the file, and nothing is left to continue.
void ForgetKeptRecord(const FetchedFile& file);

// How much of the kept-download folder a prune leaves.
enum class PruneScope {
  kUnknownTable,  // before the table is read: only entries too old to continue go
  kTable,         // what the table's keys can continue, no more than the queue holds at once
  kEverything,    // a completed update: every entry, and the folder itself
};

// Deletes the entries of partialFolder that scope leaves no use for; for
// kTable, every entry but those that one of fetches may continue (fetches
// with an expected digest, whose whole body is checked before it is used).
// Only names the cache makes are ever deleted.
void PruneKeptDownloads(const std::string& partialFolder, PruneScope scope,
                        const std::vector<FetchPlan>& fetches = {});
