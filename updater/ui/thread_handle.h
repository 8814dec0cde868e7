#pragma once
// Owns the handle of a thread (invalid at null): closed once, never copied.

#include <windows.h>

class ThreadHandle {
 public:
  ThreadHandle() = default;
  explicit ThreadHandle(HANDLE handle) : handle_(handle) {}
  ~ThreadHandle() { Close(); }
  ThreadHandle(const ThreadHandle&) = delete;
  ThreadHandle& operator=(const ThreadHandle&) = delete;
  ThreadHandle(ThreadHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  ThreadHandle& operator=(ThreadHandle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = nullptr;
    }
    return *this;
  }

  explicit operator bool() const { return handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  void Close() {
    if (handle_) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};
