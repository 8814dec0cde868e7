#pragma once
// Files written into the Windows temporary folder for one test, under names
// unique to the process, and deleted when the test ends.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

class TempFiles {
 public:
  explicit TempFiles(const std::string& stem) {
    char folder[MAX_PATH] = {};
    const DWORD length = GetTempPathA(MAX_PATH, folder);
    EXPECT_TRUE(length != 0 && length < MAX_PATH);
    prefix_ = std::string(folder) + stem + "_" + std::to_string(GetCurrentProcessId()) + "_";
  }
  TempFiles(const TempFiles&) = delete;
  TempFiles& operator=(const TempFiles&) = delete;
  ~TempFiles() {
    for (const std::string& path : written_) DeleteFileA(path.c_str());
  }

  // The path a file called name would have; nothing is written.
  std::string Path(const std::string& name) const { return prefix_ + name; }

  // Writes data as the file called name and returns its path.
  std::string Write(const std::string& name, const std::string& data) {
    const std::string path = Path(name);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr) << path;
    if (file) {
      EXPECT_EQ(std::fwrite(data.data(), 1, data.size(), file), data.size()) << path;
      std::fclose(file);
    }
    written_.push_back(path);
    return path;
  }

 private:
  std::string prefix_;
  std::vector<std::string> written_;
};
