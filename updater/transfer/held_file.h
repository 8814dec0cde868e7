#pragma once
// A file the updater holds open from its creation until it is in place or
// dropped: readable, writable and renamable through its own handle, while
// others may read it but not write, rename or delete it. Downloads, kept
// bodies and patch outputs are all held files, so the bytes that were hashed
// are the bytes that get placed.

#include <windows.h>

#include <cstdint>
#include <string>

#include "updater/base/scoped_handle.h"

class HeldFile {
 public:
  HeldFile() = default;
  HeldFile(HeldFile&&) = default;
  HeldFile& operator=(HeldFile&&) = default;

  // Creates path, or truncates it when it exists; empty when it cannot be.
  static HeldFile Create(const std::string& path);
  // Opens the existing file at path, held the same way; empty when it cannot be.
  static HeldFile Open(const std::string& path);

  HANDLE get() const { return file_.get(); }
  explicit operator bool() const { return static_cast<bool>(file_); }
  void reset() { file_.reset(); }

  // Its length in bytes; -1 when it cannot be told.
  int64_t Size() const;
  // Cuts or extends it to length; the file pointer is left there.
  bool SetLength(int64_t length);
  // Deleted when the handle closes; no one else can open it meanwhile.
  bool DeleteOnClose();
  // Renames it to destination through the handle, on the same volume only.
  bool RenameTo(const std::string& destination, bool replace);

 private:
  explicit HeldFile(HANDLE file) : file_(file) {}

  UniqueFile file_;
};
