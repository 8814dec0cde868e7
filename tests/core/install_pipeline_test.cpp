// The installation pipeline on a real folder, downloading from a local HTTP
// server: the install in table order, the downloads kept for the next run,
// files fetched several at a time. Digests, backups and the restore:
// install_replace_test.cpp; the steps' own files: install_steps_test.cpp.

#include "tests/core/install_pipeline_fixture.h"

namespace {

using namespace install_test;

TEST_F(InstallPipeline, InstallsEveryFileInTableOrderAndLeavesOnlyTheInstalledFiles) {
  WriteBytes(Client("\\a.dll"), "old a");
  Offer("\\a.dll", "new a");
  Offer("\\new\\deeper\\x.dll", "new x", "");  // no digest: installed unchecked
  std::string upper = Md5Of("readme");
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  Offer("\\readme.txt", "readme", upper);

  ASSERT_TRUE(job_.InstallFiles());
  EXPECT_EQ(ReadBytes(Client("\\a.dll")), "new a");
  EXPECT_EQ(ReadBytes(Client("\\new\\deeper\\x.dll")), "new x");
  EXPECT_EQ(ReadBytes(Client("\\readme.txt")), "readme");
  EXPECT_EQ(observer_.installed, (std::vector<std::string>{"\\a.dll", "\\new\\deeper\\x.dll", "\\readme.txt"}));
  // Several files are fetched at once: the requests may come in any order.
  std::vector<std::string> requests = server_.Requests();
  std::sort(requests.begin(), requests.end());
  EXPECT_EQ(requests, (std::vector<std::string>{"/files/a.dll", "/files/new/deeper/x.dll", "/files/readme.txt"}));
  ExpectOnlyInstalledFilesRemain();
}

// The digests checked are those of the bytes that arrived: from then until it
// is in place, no one else can write, rename or delete the downloaded file.
TEST_F(InstallPipeline, ADownloadedFileCannotBeChangedBeforeItIsInPlace) {
  Offer("\\a.dll", "new a");
  std::vector<std::string> tampered;
  std::size_t tried = 0;
  observer_.onDownloaded = [&](const std::string&) {
    for (const std::string& file : FilesEndingWith(job_.state().exeFolder + "UpdatePartialFolder", ".part")) {
      ++tried;
      HANDLE writer =
          CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
      if (writer != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(writer, "evil!", 5, &written, nullptr);
        CloseHandle(writer);
        tampered.push_back("written: " + file);
      }
      if (MoveFileA(file.c_str(), (file + ".x").c_str())) tampered.push_back("renamed: " + file);
      if (DeleteFileA(file.c_str())) tampered.push_back("deleted: " + file);
    }
  };
  ASSERT_TRUE(job_.InstallFiles());
  EXPECT_EQ(tried, 1u);
  EXPECT_TRUE(tampered.empty()) << tampered.front();
  EXPECT_EQ(ReadBytes(Client("\\a.dll")), "new a");
  EXPECT_FALSE(Exists(job_.state().exeFolder + "UpdatePartialFolder"));
}

// A run that fails keeps what it fetched of a file; the next run asks only for
// the rest, and a completed update leaves no kept download behind.
TEST_F(InstallPipeline, APartialDownloadIsKeptForTheNextRunAndContinued) {
  std::string big(200000, 'b');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  const std::string partial = job_.state().exeFolder + "UpdatePartialFolder";
  struct Run {
    std::size_t cut;
    bool ok;
    std::vector<std::string> ranges;
    std::size_t kept;
  };
  const Run runs[] = {
      {50000, false, {"50000-", "50000-", "50000-"}, 50000},  // the line goes down after 50000 bytes
      {std::string::npos, true, {"50000-"}, 0},               // the next run fetches only the rest
  };
  // A server that refuses the kept range (416) gets asked for the whole body
  // in the same run, instead of that range on every run for good.
  for (const bool refused : {false, true}) {
    for (const Run& run : runs) {
      SCOPED_TRACE(refused ? "range refused" : "range served");
      job_.state().FileUrlMap.clear();
      job_.state().FileHashMap.clear();
      Offer("\\big.bin", big);
      server_.CutAt("/files/big.bin", run.cut);
      server_.RefuseRanges("/files/big.bin", refused && run.ok);
      const std::size_t before = server_.Ranges().size();
      EXPECT_EQ(job_.InstallFiles(), run.ok);
      const std::vector<std::string> ranges = server_.Ranges();
      EXPECT_EQ(std::vector<std::string>(ranges.begin() + before, ranges.end()), run.ranges);
      job_.RestoreBackups();  // a failed run's clean-up leaves the kept download alone
      const std::vector<std::string> kept = FilesEndingWith(partial, ".part");
      EXPECT_EQ(kept.empty() ? 0 : ReadBytes(kept.front()).size(), run.kept);
    }
    EXPECT_EQ(ReadBytes(Client("\\big.bin")), big);
    EXPECT_FALSE(Exists(partial));
  }
}

// What a power cut leaves of a kept download: a record that reached the disk
// beside a body that did not (its length set, its bytes zeros). The next run
// continues no byte the record does not vouch for, and installs.
TEST_F(InstallPipeline, KeptBytesTheRecordDoesNotVouchForAreFetchedAgain) {
  std::string big(200000, 'b');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 11 + 1);
  const std::string partial = job_.state().exeFolder + "UpdatePartialFolder";
  struct Row {
    const char* what;
    std::size_t good;        // the .part's first bytes that are the body's; zeros after
    std::size_t length;      // the .part's length
    const char* vouchLine;   // the record's fourth line
    std::vector<std::string> ranges;
  };
  const Row rows[] = {
      {"a record without a vouched length", 0, big.size(), "", {}},
      {"only the vouched bytes", 60000, big.size(), "60000\n", {"60000-"}},
      {"a body shorter than vouched", 30000, 30000, "60000\n", {"30000-"}},
      {"a record that vouches for none", 0, big.size(), "0\n", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    job_.state().FileUrlMap.clear();
    job_.state().FileHashMap.clear();
    RemoveTree(partial);
    Offer("\\big.bin", big);
    server_.CutAt("/files/big.bin", 1000);  // leaves an entry and its record
    EXPECT_FALSE(job_.InstallFiles());
    job_.RestoreBackups();
    const std::vector<std::string> parts = FilesEndingWith(partial, ".part");
    const std::vector<std::string> heads = FilesEndingWith(partial, ".head");
    ASSERT_EQ(parts.size(), 1u);
    ASSERT_EQ(heads.size(), 1u);
    const std::string record = ReadBytes(heads.front());
    const std::size_t validatorAt = record.find('\n', record.find('\n') + 1) + 1;
    const std::string validator = record.substr(validatorAt, record.find('\n', validatorAt) - validatorAt);
    std::string part = big.substr(0, row.good);
    part.resize(row.length, '\0');
    WriteBytes(parts.front(), part);
    WriteBytes(heads.front(), "TorvanePartial 1\n" + std::to_string(big.size()) + "\n" + validator + "\n" +
                                  row.vouchLine);

    Offer("\\big.bin", big);  // the next run's table
    server_.CutAt("/files/big.bin", std::string::npos);
    const std::size_t before = server_.Ranges().size();
    EXPECT_TRUE(job_.InstallFiles());
    const std::vector<std::string> ranges = server_.Ranges();
    EXPECT_EQ(std::vector<std::string>(ranges.begin() + before, ranges.end()), row.ranges);
    EXPECT_TRUE(ReadBytes(Client("\\big.bin")) == big);
  }
}

// A kept download that the next run's table no longer names is removed.
TEST_F(InstallPipeline, AKeptDownloadNoLongerListedIsRemoved) {
  Offer("\\gone.bin", std::string(100000, 'g'));
  server_.CutAt("/files/gone.bin", 30000);
  EXPECT_FALSE(job_.InstallFiles());
  job_.RestoreBackups();
  const std::string partial = job_.state().exeFolder + "UpdatePartialFolder";
  ASSERT_EQ(FilesEndingWith(partial, ".part").size(), 1u);
  Offer("\\other.bin", "other", Md5Of("not other"));  // fails too: only the table changed
  EXPECT_FALSE(job_.InstallFiles());
  EXPECT_TRUE(FilesEndingWith(partial, ".part").empty());
}

// The plans of the job's table, for the tests that drive the fetch directly.
struct PlannedFetch {
  explicit PlannedFetch(const std::vector<FilePlan>& planned) {
    for (const FilePlan& plan : planned) plans.push_back(plan.whole);
  }
  std::vector<FetchPlan> plans;
  DownloadClient client;
  bool Fetch(std::size_t index, FetchedFile& out) {
    return FetchUpdateFile(client, plans[index], nullptr, out);
  }
};

// Two FilePaths served by one URL with one digest share a cache key: the
// queue fetches the second only once the first is placed, and a fetch whose
// cache entry is held elsewhere takes a path of its own instead of failing.
TEST_F(InstallPipeline, TwoFilePathsOfOneUrlAreBothInstalled) {
  const std::string bytes(30000, 's');
  Offer("\\a.bin", bytes);
  job_.state().FileUrlMap.Set("\\b.bin", server_.Url("/files/a.bin"));
  job_.state().FileHashMap.Set("\\b.bin", Md5Of(bytes));
  Offer("\\sub\\c.bin", "other");
  auto countOf = [&](const std::string& path) {
    const std::vector<std::string> requests = server_.Requests();
    return std::count(requests.begin(), requests.end(), path);
  };
  {
    PlannedFetch direct{PlanUpdateDownloads(job_.state(), job_.state())};
    FetchedFile first, second;
    ASSERT_TRUE(direct.Fetch(0, first));
    EXPECT_TRUE(direct.Fetch(1, second)) << "the shared entry is held by the first fetch";
    EXPECT_EQ(second.md5Text, Md5Of(bytes));
    DropFetchedFile(first);
    DropFetchedFile(second);
  }
  {
    const auto before = countOf("/files/a.bin");
    DownloadQueue queue(job_.downloads(), job_.owner(), PlanUpdateDownloads(job_.state(), job_.state()), nullptr);
    ASSERT_NE(queue.Wait(0), nullptr);
    // The file after the pair is fetched meanwhile; the second of the pair is not.
    const ULONGLONG deadline = GetTickCount64() + 20000;
    while (countOf("/files/sub/c.bin") == 0 && GetTickCount64() < deadline) Sleep(5);
    EXPECT_EQ(countOf("/files/a.bin"), before + 1);
    FetchedFile* second = queue.Wait(1);  // the first is still held here
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->md5Text, Md5Of(bytes));
  }
  EXPECT_TRUE(job_.InstallFiles());
  EXPECT_EQ(ReadBytes(Client("\\a.bin")), bytes);
  EXPECT_EQ(ReadBytes(Client("\\b.bin")), bytes);
}

// An install folder so long that the cache path would pass 259 characters:
// files go to the temporary folder, whose sub-folders the fetch creates
// itself, ahead of the install loop.
TEST_F(InstallPipeline, ALongInstallFolderFetchesIntoTemporaryFoldersItCreates) {
  std::string longFolder = folder_ + "\\";
  longFolder += std::string(213 - longFolder.size(), 'L');
  ASSERT_TRUE(CreateDirectoryA(longFolder.c_str(), nullptr));
  job_.state().exeFolder = longFolder + "\\";
  ASSERT_EQ(job_.state().exeFolder.size(), 214u);
  job_.state().tempFolder = job_.state().exeFolder + "UpdateTempFolder";
  job_.state().backupFolder = job_.state().exeFolder + "TempBackUpFolder";
  const struct {
    const char* filePath;
    bool digest;
  } files[] = {{"\\top.bin", true},
               {"\\sub\\one.bin", false},
               {"\\sub\\deeper\\two.bin", false},
               {"\\other\\three.bin", true}};
  auto bytesOf = [](const std::string& filePath) { return filePath + std::string(5000, 'x'); };
  for (const auto& file : files)
    Offer(file.filePath, bytesOf(file.filePath), file.digest ? Md5Of(bytesOf(file.filePath)) : "");
  {
    PlannedFetch direct{PlanUpdateDownloads(job_.state(), job_.state())};
    for (std::size_t i = 0; i < direct.plans.size(); ++i) {
      FetchedFile fetched;
      EXPECT_TRUE(direct.Fetch(i, fetched)) << direct.plans[i].filePath;
      DropFetchedFile(fetched);
    }
  }
  RemoveTree(job_.state().tempFolder);
  EXPECT_TRUE(job_.InstallFiles());
  for (const auto& file : files) EXPECT_EQ(ReadBytes(Client(file.filePath)), bytesOf(file.filePath));
}

DWORD WINAPI RunInstall(void* job) { return static_cast<UpdateJob*>(job)->InstallFiles() ? 1 : 0; }

// Files are fetched several at a time: a cancel ends every transfer at once,
// even while the server answers none of them.
TEST_F(InstallPipeline, ACancelEndsEveryTransferAtOnce) {
  for (int i = 0; i < 6; ++i) Offer("\\f" + std::to_string(i) + ".bin", "new " + std::to_string(i));
  server_.Hold("/files/f0.bin");
  HANDLE thread = CreateThread(nullptr, 0, RunInstall, &job_, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  const ULONGLONG deadline = GetTickCount64() + 20000;
  while (server_.Requests().empty() && GetTickCount64() < deadline) Sleep(5);
  job_.Cancel();
  const DWORD waited = WaitForSingleObject(thread, 2000);
  server_.Release();
  if (waited != WAIT_OBJECT_0) WaitForSingleObject(thread, 90000);  // never leave it running
  DWORD installed = 1;
  GetExitCodeThread(thread, &installed);
  CloseHandle(thread);
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "the transfers went on after the cancel";
  EXPECT_EQ(installed, 0u);
  EXPECT_TRUE(observer_.installed.empty());
}

}  // namespace
