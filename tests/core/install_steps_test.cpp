// The install's own steps on a real folder: COM registration through the
// system's regsvr32, the work folders and the file version of a program.

#include "tests/core/install_pipeline_fixture.h"

namespace {

using namespace install_test;

constexpr const char kRegisteredKey[] = "Software\\MireloTest\\ComServer";
constexpr const char kAttachedKey[] = "Software\\MireloTest\\Attached";

TEST(RegisterComServer, OnlyCompleteComServersAreRegisteredByTheSystemRegsvr32BeforeItReturns) {
  const std::string server = FixturePath("com_server\\mirelo_com_server.dll");
  const std::string partial = FixturePath("com_server\\mirelo_com_partial.dll");
  const std::string impostor = FixturePath("window_probe.exe");
  ASSERT_FALSE(server.empty());
  ASSERT_FALSE(partial.empty());
  ASSERT_FALSE(impostor.empty());
  const std::string folder = UniqueFolder("com");
  // A regsvr32.exe in the current folder, which a search would find before the
  // system's: it does nothing with the arguments it is given.
  CopyFileA(impostor.c_str(), (folder + "\\regsvr32.exe").c_str(), FALSE);
  char previous[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, previous);
  SetCurrentDirectoryA(folder.c_str());
  const std::string tag = std::to_string(GetCurrentProcessId());
  char module[MAX_PATH];
  GetModuleFileNameA(nullptr, module, MAX_PATH);
  const std::string self = std::string(module).substr(std::string(module).rfind('\\') + 1);
  RegDeleteKeyValueA(HKEY_CURRENT_USER, kAttachedKey, self.c_str());  // a trace of an earlier run
  CreateDirectoryA((folder + "\\v1.2").c_str(), nullptr);

  struct Case {
    std::string name;
    const std::string* source;
    bool registered;
  };
  const Case cases[] = {
      {"upper" + tag + ".DLL", &server, true},     {"control" + tag + ".ocx", &server, true},
      {"partial" + tag + ".dll", &partial, false}, {"v1.2\\readme", &server, false},
      {"server" + tag + ".exe", &server, false},   {"text" + tag + ".dll", nullptr, false},
  };
  for (const Case& c : cases) {
    const std::string path = folder + "\\\\" + c.name;  // doubled, as exeFolder + FilePath gives it
    if (c.source) {
      CopyFileA(c.source->c_str(), path.c_str(), FALSE);
    } else {
      WriteBytes(path, "MZ not really a library");
    }
    EXPECT_EQ(RegisterComServer(path), c.registered) << c.name;
    // The registration has ended when the call returns: nothing to await.
    EXPECT_EQ(RegistryText(kRegisteredKey, c.name), c.registered ? "registered" : "") << c.name;
  }
  EXPECT_FALSE(RegisterComServer(folder + "\\missing" + tag + ".dll"));
  SetCurrentDirectoryA(previous);

  // Only regsvr32 ran the libraries' code; the test process never did.
  EXPECT_EQ(RegistryText(kAttachedKey, self), "");
  RemoveTree(folder);
}

TEST(WorkFolders, DeleteWorkFolderRemovesOnlyWorkFolders) {
  const std::string folder = UniqueFolder("work");
  const std::string other = folder + "\\Other";
  CreateDirectoryA(other.c_str(), nullptr);
  WriteBytes(other + "\\keep.txt", "keep");
  EXPECT_FALSE(DeleteWorkFolder(other));
  EXPECT_FALSE(DeleteWorkFolder(""));
  EXPECT_TRUE(Exists(other + "\\keep.txt"));

  const std::string work = folder + "\\UpdateTempFolder";
  ASSERT_TRUE(CreateFolderPath(work + "\\a\\b\\c\\"));
  WriteBytes(work + "\\a\\b\\c\\deep.bin", "deep");
  WriteBytes(work + "\\top.bin", "top");
  EXPECT_TRUE(DeleteWorkFolder(work));
  EXPECT_FALSE(Exists(work));
  EXPECT_FALSE(DeleteWorkFolder(work));  // nothing left to remove
  // The guard is an exact, case-sensitive test of the name.
  const std::string lower = folder + "\\updatetempfolder";
  CreateDirectoryA(lower.c_str(), nullptr);
  EXPECT_FALSE(DeleteWorkFolder(lower));
  EXPECT_TRUE(Exists(lower));
  RemoveTree(folder);
}

TEST(WorkFolders, CreateFolderPathCreatesMissingParents) {
  const std::string folder = UniqueFolder("create");
  EXPECT_TRUE(CreateFolderPath(folder + "\\x\\y\\z"));
  EXPECT_TRUE(Exists(folder + "\\x\\y\\z"));
  EXPECT_TRUE(CreateFolderPath(folder + "\\x\\y\\"));
  WriteBytes(folder + "\\file", "f");
  EXPECT_TRUE(CreateFolderPath(folder + "\\file"));  // something exists under the name
  EXPECT_FALSE(CreateFolderPath(folder + "\\file\\below"));
  EXPECT_FALSE(CreateFolderPath(""));
  RemoveTree(folder);
}

// The install loop and the download queue's workers create the same nested
// folders at the same moment: whoever comes second must succeed too.
TEST(WorkFolders, CreateFolderPathSucceedsWhileAnotherThreadCreatesTheSameFolders) {
  const std::string folder = UniqueFolder("race");
  constexpr int kRounds = 25;
  int failures = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string path = folder + "\\r" + std::to_string(round) + "\\a\\b\\c\\d";
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool ok[4] = {};
    std::vector<std::thread> threads;
    for (bool& result : ok) {
      threads.emplace_back([&path, go, &result] {
        WaitForSingleObject(go, INFINITE);
        result = CreateFolderPath(path);
      });
    }
    SetEvent(go);
    for (std::thread& thread : threads) thread.join();
    CloseHandle(go);
    for (bool result : ok) failures += result ? 0 : 1;
  }
  EXPECT_EQ(failures, 0);
  RemoveTree(folder);
}

TEST(ReadFileVersion, PartsKeepTheirLowEightBits) {
  const std::string versioned = FixturePath("halvix-2.0.1000.7\\Halvix.exe");
  const std::string bare = FixturePath("halvix-noversion\\Halvix.exe");
  ASSERT_FALSE(versioned.empty());
  ASSERT_FALSE(bare.empty());

  FileVersion version;
  ASSERT_TRUE(ReadFileVersion(versioned, version));
  EXPECT_EQ(version.text, "2.0.232.7");
  EXPECT_EQ(version.packed, 0x0200E807u);
  EXPECT_EQ((std::vector<int>{version.parts[0], version.parts[1], version.parts[2], version.parts[3]}),
            (std::vector<int>{2, 0, 232, 7}));

  FileVersion none;
  none.text = "untouched";
  none.packed = 42;
  none.parts[0] = 9;
  EXPECT_FALSE(ReadFileVersion(bare, none));
  EXPECT_EQ(none.text, "untouched");
  EXPECT_EQ(none.packed, 42u);
  EXPECT_EQ(none.parts[0], 0);
}

}  // namespace
