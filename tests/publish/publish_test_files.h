#pragma once
// What the publisher library's tests share: a temporary folder, whole files
// written and read, and a clean manifest that a case edits one text of.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tools/publish/publish_files.h"

namespace publish {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "publish-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string operator/(const std::string& relative) const { return (fs::path(path_) / relative).string(); }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& data) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

inline std::string ReadFile(const std::string& path) { return ReadWholeFile(path).value_or("<missing>"); }

// A clean manifest. Each lint case changes one text of it and must give exactly
// that error; the signature tests sign it as it is.
inline constexpr char kCleanManifest[] =
    "[Root]\r\n"
    "DownloadUrl=http://example.invalid/\r\n"
    "VersionCount=3\r\n"
    "CurrentVersionTime=300\r\n"
    "CurrentVersionNum=v3\r\n"
    "ver0=100\r\nver1=200\r\nver2=300\r\n"
    "[200]\r\n"
    "FileCount=2\r\n"
    "FilePath0=\\a.dll\r\nFileUrl0=http://h/200/a.dll\r\n"
    "FileHashID0=0123456789abcdef0123456789abcdef\r\n"
    "FileSha256=unused\r\n"
    "FileSha2560=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n"
    "FilePath1=\\codec\\b.ocx\r\nFileUrl1=http://h/200/b.ocx\r\n"
    "FileHashID1=0123456789ABCDEF0123456789ABCDEF\r\n"
    "FileSha2561=BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB\r\n"
    "[300]\r\n"
    "FileCount=1\r\n"
    "FilePath0=\\codec\\b.ocx\r\nFileUrl0=http://h/300/b.ocx\r\n"
    "FileSha2560=cccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccc\r\n";

inline std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

}  // namespace publish
