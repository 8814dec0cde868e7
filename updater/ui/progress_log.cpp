#include "updater/ui/progress_log.h"

#include <utility>

bool ProgressLog::AppendBoundary(ProgressEntry entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(std::move(entry));
  if (wakeRequested_) return false;
  wakeRequested_ = true;
  return true;
}

void ProgressLog::AppendStep() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++OpenChunks().steps;
}

void ProgressLog::AppendBytes(const std::string& path, int32_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  ProgressEntry* chunks = &OpenChunks();
  // Bytes of another file start an entry of their own: each row shows its own.
  if (chunks->hasBytes && chunks->path != path) {
    entries_.emplace_back(ProgressEntry::Kind::Chunks);
    chunks = &entries_.back();
  }
  if (chunks->path != path) chunks->path = path;
  chunks->value = bytes;
  chunks->hasBytes = true;
}

std::vector<ProgressEntry> ProgressLog::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  wakeRequested_ = false;
  return std::exchange(entries_, {});
}

ProgressEntry& ProgressLog::OpenChunks() {
  if (entries_.empty() || entries_.back().kind != ProgressEntry::Kind::Chunks) {
    entries_.emplace_back(ProgressEntry::Kind::Chunks);
  }
  return entries_.back();
}
