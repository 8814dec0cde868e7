// The shared manifest cases, written to real files and read through
// GetPrivateProfileStringA: the platform must agree with the in-memory reader,
// and so must the reader of the stored manifest, which reads the file once.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/base/manifest_cases.h"
#include "tests/support/win_test_files.h"
#include "updater/base/ini_text_reader.h"
#include "updater/base/manifest_file_reader.h"
#include "updater/base/profile_file_reader.h"

namespace {

using namespace manifest_cases;
using namespace win_test;

// A file of its own per case: the platform caches profile files by name.
class ScratchIni {
 public:
  ScratchIni(const std::string& text, int serial) : path_(files_.Write(std::to_string(serial) + ".cfg", text)) {}
  const std::string& path() const { return path_; }
  bool written() const { return Exists(path_); }

 private:
  TempFiles files_{"torvane_manifest"};
  std::string path_;
};

bool HasDoubleByteText(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return true;
  }
  return false;
}

// Double-byte text survives the platform's conversions only in code page 936.
bool SkipForCodePage(const std::string& text) { return GetACP() != 936 && HasDoubleByteText(text); }

TEST(ProfileFileReader, AgreesWithTheInMemoryReader) {
  int serial = 0;
  int skipped = 0;
  for (const ReadCase& c : ReadCases()) {
    SCOPED_TRACE(c.name);
    if (SkipForCodePage(c.ini + c.section)) {
      ++skipped;
      continue;
    }
    ScratchIni file(c.ini, ++serial);
    ASSERT_TRUE(file.written());
    const std::string platform = ProfileFileReader(file.path()).Read(c.section, c.key, c.limit);
    EXPECT_EQ(platform, c.expected);
    EXPECT_EQ(platform, IniTextReader(c.ini).Read(c.section, c.key, c.limit));
    EXPECT_EQ(platform, ManifestFileReader(file.path()).Read(c.section, c.key, c.limit));
  }
  if (skipped > 0) GTEST_SKIP() << skipped << " cases need the ANSI code page 936";
}

TEST(ProfileFileReader, MissingFileReadsEmpty) {
  const ProfileFileReader reader("C:\\no\\such\\folder\\HistoryVersionList.cfg");
  EXPECT_EQ(reader.Read("Root", "VersionCount", 31), "");
  EXPECT_EQ(
      ManifestFileReader("C:\\no\\such\\folder\\HistoryVersionList.cfg").Read("Root", "VersionCount", 31),
      "");
}

// Only text whose every rule the in-memory reader shares is read from memory.
TEST(ManifestFileReader, ReadsFromMemoryOnlyWhatThePlatformReadsAlike) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    bool inMemory;
  } cases[] = {
      {"[Root]\r\nVersionCount=2\r\n", true},
      {"\xEF\xBB\xBF[Root]\r\nVersionCount=2\r\n", false},
      {"\xFF\xFE[\0R\0]\0"s, false},
      {"[Root]\r\nDownloadUrl=\"http://a/\"\r\n", false},
      {"[Root]\r\nCurrentVersionNum='3'\r\n", false},
  };
  int serial = 900;
  for (const auto& c : cases) {
    ScratchIni file(c.text, ++serial);
    ASSERT_TRUE(file.written());
    EXPECT_EQ(ManifestFileReader(file.path()).inMemory(), c.inMemory) << c.text;
  }
}

TEST(ManifestReadersOnFiles, GiveTheSameTablesAsInMemory) {
  int serial = 1000;
  int skipped = 0;
  for (const ManifestCase& c : ManifestCases()) {
    SCOPED_TRACE(c.name);
    if (SkipForCodePage(c.ini)) {
      ++skipped;
      continue;
    }
    ScratchIni file(c.ini, ++serial);
    ASSERT_TRUE(file.written());
    ExpectOutcome(RunReaders(ProfileFileReader(file.path()), c.installedVersion), c.expected);
    ExpectOutcome(RunReaders(ManifestFileReader(file.path()), c.installedVersion), c.expected);
  }
  if (skipped > 0) GTEST_SKIP() << skipped << " cases need the ANSI code page 936";
}

}  // namespace
