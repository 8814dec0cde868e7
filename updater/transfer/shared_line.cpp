#include "updater/transfer/shared_line.h"

#include <climits>

void SharedLine::BeginFile(uint64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!begun_) firstMs_ = nowMs;
  begun_ = true;
  if (nowMs > lastFileMs_) lastFileMs_ = nowMs;
}

void SharedLine::Add(int64_t bytes) {
  if (bytes <= 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_ = bytes_ > INT64_MAX - bytes ? INT64_MAX : bytes_ + bytes;
}

uint64_t SharedLine::DueAtMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t ofLine = firstMs_ + DueMs(bounds_, bytes_);
  const uint64_t ofFile = lastFileMs_ + bounds_.graceMs;
  return ofLine > ofFile ? ofLine : ofFile;
}

int64_t SharedLine::bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}
