// The folder lock on a real folder: whatever spelling a second updater uses
// for the folder, it meets the lock of the first; another folder does not.

#include "updater/core/folder_lock.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/win_test_files.h"

namespace {

using namespace win_test;

TEST(FolderLock, OneLockPerFolderWhateverItsSpelling) {
  const std::string root = UniqueFolder("lock");
  const std::string folder = root + "\\Client folder with a long name\\";
  const std::string other = root + "\\Another client folder\\";
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(other.c_str(), nullptr));
  char shortPath[MAX_PATH] = {};
  const DWORD length = GetShortPathNameA(folder.c_str(), shortPath, MAX_PATH);
  ASSERT_TRUE(length > 0 && length < MAX_PATH);
  ASSERT_EQ(std::string(shortPath).find("with a long name"), std::string::npos) << shortPath;

  struct Case {
    const char* what;
    std::string path;
    bool acquired;
  };
  const Case cases[] = {
      {"the same spelling", folder, false},
      {"without the trailing backslash", folder.substr(0, folder.size() - 1), false},
      {"the 8.3 short spelling", shortPath, false},
      {"with the \\\\?\\ prefix", "\\\\?\\" + folder, false},
      {"another folder", other, true},
  };
  {
    FolderLock first;
    ASSERT_TRUE(first.Acquire(folder));
    for (const Case& c : cases) {
      FolderLock second;
      EXPECT_EQ(second.Acquire(c.path), c.acquired) << c.what << ": " << c.path;
    }
  }
  // Released with its holder, and no lock file is left behind.
  EXPECT_FALSE(Exists(folder + "TorvaneUpdate.lock"));
  FolderLock again;
  EXPECT_TRUE(again.Acquire(shortPath));
  RemoveTree(root);
}

// What a lock file that cannot be opened leaves: a leftover that is no one's
// lock is replaced and then keeps every spelling out; one that cannot be
// replaced refuses the run rather than letting two spellings in.
TEST(FolderLock, ALockFileThatCannotBeOpenedIsMadeAgainOrRefusesTheRun) {
  struct Case {
    const char* what;
    bool readOnlyFile;
    bool folder;
    bool folderWithContent;
    bool acquired;
  };
  const Case cases[] = {
      {"a read-only leftover", true, false, false, true},
      {"an empty folder of that name", false, true, false, true},
      {"a folder of that name with a file in it", false, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string root = UniqueFolder("lockleft");
    const std::string folder = root + "\\Client folder with a long name\\";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    const std::string lock = folder + "TorvaneUpdate.lock";
    if (c.readOnlyFile) {
      WriteBytes(lock, "");
      SetFileAttributesA(lock.c_str(), FILE_ATTRIBUTE_READONLY);
    }
    if (c.folder) CreateDirectoryA(lock.c_str(), nullptr);
    if (c.folderWithContent) WriteBytes(lock + "\\kept", "kept");
    char shortPath[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameA(folder.c_str(), shortPath, MAX_PATH), 0u);
    {
      FolderLock first;
      EXPECT_EQ(first.Acquire(folder), c.acquired);
      FolderLock second;
      EXPECT_FALSE(second.Acquire(shortPath)) << shortPath;
    }
    if (c.folderWithContent) EXPECT_EQ(ReadBytes(lock + "\\kept"), "kept");
    RemoveTree(root);
  }
}

}  // namespace
