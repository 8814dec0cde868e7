#pragma once
// The floor throughput (TransferBounds) held against a line that several
// transfers share, as the download queue's do.
//
// Four files on a line of 2 KiB/s get 512 B/s each: held one by one to a
// floor of 1 KiB/s, every one of them would end after the grace period while
// the line carries twice the floor. So the transfers on one line are judged
// together, by the rule a lone file has for its own bytes: they fall behind
// once the bytes all of them wrote are behind the floor, counted from the
// line's first request (first + grace + bytes / floor), and each file still
// has its grace from its own first request. A line under the floor ends all
// of them at once, each keeping what it brought.
//
// A file that gets nothing while the others keep the line ahead is held only
// as long as they do. All of them are bounded, as a lone file is by its
// length: no file writes more than kWrittenLengths times its length, so the
// transfers end by the later of the last file's first request + grace and
// the first request + grace + (kWrittenLengths times the files' lengths) /
// floor. A lone download (the manifest, an update of one file) keeps the
// bound of its own bytes.
//
// Threads: any; each transfer reports its own files and bytes.

#include <cstdint>
#include <mutex>

#include "updater/transfer/download_rules.h"

class SharedLine {
 public:
  explicit SharedLine(const TransferBounds& bounds) : bounds_(bounds) {}
  SharedLine(const SharedLine&) = delete;
  SharedLine& operator=(const SharedLine&) = delete;

  // A file's first request goes out at nowMs: any one steady clock in
  // milliseconds, the same for every call.
  void BeginFile(uint64_t nowMs);
  // One of the transfers wrote bytes more.
  void Add(int64_t bytes);
  // When, on that clock, the line must have brought more, or every transfer
  // on it ends. Only after a BeginFile.
  uint64_t DueAtMs() const;
  // What all the transfers wrote so far.
  int64_t bytes() const;
  const TransferBounds& bounds() const { return bounds_; }

 private:
  const TransferBounds bounds_;
  mutable std::mutex mutex_;  // guards the members below
  bool begun_ = false;
  uint64_t firstMs_ = 0;     // the line's first request
  uint64_t lastFileMs_ = 0;  // the latest file's first request
  int64_t bytes_ = 0;
};
