#pragma once
// What the worker reports to the dialog, kept in order until the dialog's
// thread shows it. The worker appends and goes on at once, so a fast network is
// never slowed by the screen; the dialog takes the whole log at its own pace.
// The chunk reports of one body (a progress step and the bytes so far, one of
// each per chunk) merge into the log's last entry, so the log stays short
// however fast the body arrives, and what the dialog finally shows is exactly
// what it would have shown had it handled every report as it came.
//
// Threads: Append*, on the worker; Take, on the dialog's thread.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct ProgressEntry {
  enum class Kind {
    FillList,  // paths: the list's rows, in order
    SetStep,   // value: the progress bar's step
    Stage,     // path, stage and value of a ReportFileProgress other than Downloading
    Chunks,    // steps: how many steps of the bar; path and value: the last bytes report, if any
  };
  explicit ProgressEntry(Kind entryKind) : kind(entryKind) {}

  Kind kind;
  std::string path;
  int stage = 0;
  int32_t value = 0;
  int steps = 0;
  bool hasBytes = false;
  std::vector<std::string> paths;
};

class ProgressLog {
 public:
  // Each returns true when the dialog should be woken now: the entry marks a
  // boundary (a list, a step size, a file's start or end) and no wake-up is
  // outstanding. Chunk reports never ask for one; the dialog's timer shows them.
  bool AppendBoundary(ProgressEntry entry);
  void AppendStep();
  void AppendBytes(const std::string& path, int32_t bytes);

  // Everything appended since the last Take, in order; clears the wake-up.
  std::vector<ProgressEntry> Take();

 private:
  ProgressEntry& OpenChunks();  // the last entry when it holds chunks, else a new one

  std::mutex mutex_;  // guards everything below
  std::vector<ProgressEntry> entries_;
  bool wakeRequested_ = false;
};
