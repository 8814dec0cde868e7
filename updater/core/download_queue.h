#pragma once
// Keeps the next files of the table downloading while the install loop checks
// and installs the one before, so that the line never idles between files:
// up to kTransfersAtOnce transfers at a time, each on a thread of its own with
// a DownloadClient of its own whose session keeps its connections alive from
// one file to the next, and at most kFilesAhead fetched files waiting. The
// install loop still takes the files one by one in table order (Wait), so
// its order, its rows and its failure rules are those of one file at a time;
// when it stops early the queue's destructor stops every transfer and waits
// for its threads. A cancel of the job's client reaches every transfer. A file
// whose cache entry an earlier file of the table shares (one URL and digest,
// two FilePaths) is fetched only once the install loop is done with that
// earlier file, so two transfers never write one entry. The transfers share
// one line, and the floor throughput is held against what it brings them all
// (shared_line.h): four files on a line of twice the floor each get half of
// it, and none of them is behind. One transfer alone keeps the bound of its
// own file.
//
// Threads: construction, Wait and destruction on the update's worker; the
// transfers on the queue's own threads, whose progress reports are passed to
// the dialog one at a time.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "updater/core/job_patches.h"
#include "updater/core/update_observer.h"
#include "updater/transfer/shared_line.h"

constexpr std::size_t kTransfersAtOnce = 4;
constexpr std::size_t kFilesAhead = 8;

class DownloadQueue {
 public:
  // Fetches plans in order, with lead's time-outs and bounds, each transfer
  // cancelled with lead; progress goes to observer (none when null).
  // mayFetch(filePath) false fails a file without a request (a FilePath whose
  // place cannot take a file).
  DownloadQueue(DownloadClient& lead, UpdateObserver* observer, std::vector<FilePlan> plans,
                std::function<bool(const std::string&)> mayFetch);
  ~DownloadQueue();
  DownloadQueue(const DownloadQueue&) = delete;
  DownloadQueue& operator=(const DownloadQueue&) = delete;

  // Waits for the file at index, and lets the queue fetch one more ahead of
  // it. Null when it failed. The file stays the caller's until the queue ends.
  FetchedFile* Wait(std::size_t index);

 private:
  enum class State { Waiting, Running, Ready, Failed };
  struct Worker;
  class SharedProgress;

  void Work(Worker& worker);
  bool FetchOne(Worker& worker, std::size_t index);

  DownloadClient& lead_;
  std::vector<FilePlan> plans_;
  std::function<bool(const std::string&)> mayFetch_;
  std::vector<std::unique_ptr<FetchedFile>> files_;
  // For each file, the last file before it with the same cache key; npos
  // for none.
  std::vector<std::size_t> sameKeyBefore_;
  std::unique_ptr<SharedProgress> progress_;
  // The line of the transfers, when there are several; it outlives them.
  std::unique_ptr<SharedLine> line_;

  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::vector<State> states_;
  std::size_t next_ = 0;     // the next file a worker takes
  std::size_t waiting_ = 0;  // the file the install loop waits for or installs
  bool stopping_ = false;

  std::vector<std::unique_ptr<Worker>> workers_;
};
