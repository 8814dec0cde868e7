// The installation pipeline on a real folder, downloading from a local HTTP
// server: install, digest check, backup, move-aside, rollback, work folders,
// path containment and COM registration.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/core/install_test_server.h"
#include "tests/support/win_test_files.h"
#include "updater/core/com_registration.h"
#include "updater/core/download_queue.h"
#include "updater/core/install_journal_file.h"
#include "updater/core/file_version.h"
#include "updater/core/partial_cache_folder.h"
#include "updater/core/update_job.h"
#include "updater/core/work_folders.h"
#include "updater/base/hex_text.h"
#include "updater/transfer/cng.h"
#include "updater/transfer/md5.h"

namespace {

using namespace win_test;

std::string Sha256Of(const std::string& bytes) {
  CngLibrary cng;
  Sha256Digest digest{};
  EXPECT_TRUE(cng.Load() && cng.Hash(bytes.data(), bytes.size(), digest));
  return EncodeHex(digest.data(), digest.size());
}

std::string Md5Of(const std::string& bytes) {
  Md5Context context;
  context.Update(bytes.data(), bytes.size());
  context.Final();
  unsigned char digest[16];
  context.GetDigest(digest);
  return FormatDigest(digest);
}

// The dialog as the pipeline sees it: it records the Installed reports and
// can run a check when a download starts.
class RecordingObserver : public UpdateObserver {
 public:
  void FillFileList(const FileTable& table) override {
    for (const auto& entry : table) listed.push_back(entry.first);
  }
  bool ReportFileProgress(const std::string& path, int stage, int32_t) override {
    if (stage == Installed) installed.push_back(path);
    if (stage == DownloadStarted && onDownloadStarted) onDownloadStarted(path);
    if (stage == Downloaded && onDownloaded) onDownloaded(path);
    return !path.empty();
  }
  void SetProgressStep(int) override {}
  void StepProgress() override {}

  std::vector<std::string> listed;
  std::vector<std::string> installed;
  std::function<void(const std::string&)> onDownloadStarted;
  std::function<void(const std::string&)> onDownloaded;  // on a transfer's thread
};

// The files of folder whose names end with suffix.
std::vector<std::string> FilesEndingWith(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> found;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return found;
  do {
    const std::string name = entry.cFileName;
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      found.push_back(folder + "\\" + name);
    }
  } while (FindNextFileA(find, &entry));
  FindClose(find);
  return found;
}

class InstallPipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = UniqueFolder("install");
    job_.state().exeFolder = folder_ + "\\";
    job_.state().tempFolder = job_.state().exeFolder + "UpdateTempFolder";
    job_.state().backupFolder = job_.state().exeFolder + "TempBackUpFolder";
    job_.state().historyPath = job_.state().exeFolder + "HistoryVersionList.cfg";
    job_.SetOwner(&observer_);
    WriteBytes(job_.state().historyPath, "[Root]\r\n");
    WriteBytes(job_.state().historyPath + ".sig", "[Signature0]\r\n");
  }
  void TearDown() override { RemoveTree(folder_); }

  // Serves bytes for filePath and lists it, with its digest unless digest is "".
  void Offer(const std::string& filePath, const std::string& bytes, const std::string& digest) {
    const std::string url = "/files" + ToSlashes(filePath);
    server_.AddFile(url, bytes);
    job_.state().FileUrlMap.Set(filePath, server_.Url(url));
    if (!digest.empty()) job_.state().FileHashMap.Set(filePath, digest);
  }
  void Offer(const std::string& filePath, const std::string& bytes) { Offer(filePath, bytes, Md5Of(bytes)); }

  std::string Client(const std::string& filePath) const { return job_.state().exeFolder + filePath; }

  static std::string ToSlashes(std::string path) {
    for (char& c : path) c = c == '\\' ? '/' : c;
    return path;
  }

  void ExpectOnlyInstalledFilesRemain() {
    EXPECT_FALSE(Exists(job_.state().tempFolder));
    EXPECT_FALSE(Exists(job_.state().backupFolder));
    EXPECT_FALSE(Exists(job_.state().historyPath));
    EXPECT_FALSE(Exists(job_.state().historyPath + ".sig"));
    EXPECT_TRUE(job_.state().FileUrlMap.empty());
    EXPECT_TRUE(job_.state().FileHashMap.empty());
    EXPECT_TRUE(job_.state().FileSha256Map.empty());
    EXPECT_TRUE(job_.state().BackupMap.empty());
  }

  std::string folder_;
  InstallTestServer server_;
  RecordingObserver observer_;
  UpdateJob job_;
};

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
    PlannedFetch direct{PlanUpdateDownloads(job_.state())};
    FetchedFile first, second;
    ASSERT_TRUE(direct.Fetch(0, first));
    EXPECT_TRUE(direct.Fetch(1, second)) << "the shared entry is held by the first fetch";
    EXPECT_EQ(second.md5Text, Md5Of(bytes));
    DropFetchedFile(first);
    DropFetchedFile(second);
  }
  {
    const auto before = countOf("/files/a.bin");
    DownloadQueue queue(job_.downloads(), job_.owner(), PlanUpdateDownloads(job_.state()), nullptr);
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
    PlannedFetch direct{PlanUpdateDownloads(job_.state())};
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

TEST_F(InstallPipeline, FourthOfTenFailingItsDigestIsRolledBackByTheRestore) {
  for (int i = 0; i < 10; ++i) {
    const std::string name = "\\f" + std::to_string(i) + ".bin";
    WriteBytes(Client(name), "old " + std::to_string(i));
    Offer(name, "new " + std::to_string(i), Md5Of(i == 3 ? "something else" : "new " + std::to_string(i)));
  }
  ASSERT_FALSE(job_.InstallFiles());
  EXPECT_GE(server_.Requests().size(), 4u);  // the files after it may have been fetched, never installed
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(ReadBytes(Client("\\f" + std::to_string(i) + ".bin")),
              (i < 3 ? "new " : "old ") + std::to_string(i));
  }
  EXPECT_TRUE(Exists(job_.state().tempFolder));  // nothing is undone by the failing step itself

  EXPECT_TRUE(job_.RestoreBackups());
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(ReadBytes(Client("\\f" + std::to_string(i) + ".bin")), "old " + std::to_string(i));
  ExpectOnlyInstalledFilesRemain();
}

TEST_F(InstallPipeline, BothDigestsMustMatchWhenGiven) {
  const std::string good = "new a";
  struct Case {
    const char* name;
    std::string md5;
    std::string sha256;
    bool installs;
  };
  const Case cases[] = {
      {"SHA-256 alone", "", Sha256Of(good), true},
      {"SHA-256 in capitals", "",
       [&] {
         std::string upper = Sha256Of(good);
         for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
         return upper;
       }(),
       true},
      {"both", Md5Of(good), Sha256Of(good), true},
      {"SHA-256 of other bytes", "", Sha256Of("other"), false},
      {"SHA-256 wrong, MD5 right", Md5Of(good), Sha256Of("other"), false},
      {"SHA-256 right, MD5 wrong", Md5Of("other"), Sha256Of(good), false},
      {"SHA-256 cut short", "", Sha256Of(good).substr(1), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(Client("\\a.dll"), "old a");
    Offer("\\a.dll", good, c.md5);
    job_.state().FileSha256Map.Set("\\a.dll", c.sha256);
    EXPECT_EQ(job_.InstallFiles(), c.installs);
    if (!c.installs) job_.RestoreBackups();
    EXPECT_EQ(ReadBytes(Client("\\a.dll")), c.installs ? good : "old a");
    ExpectOnlyInstalledFilesRemain();
  }
}

TEST_F(InstallPipeline, RestoreRemovesANewFileTheRunAdded) {
  WriteBytes(Client("\\b.dll"), "old b");
  Offer("\\sub\\n.dll", "new n");
  Offer("\\b.dll", "new b", Md5Of("not new b"));
  ASSERT_FALSE(job_.InstallFiles());
  // The new file had no earlier version: its backup entry exists, its copy does not.
  ASSERT_NE(job_.state().BackupMap.Find(Client("\\sub\\n.dll")), nullptr);
  EXPECT_FALSE(Exists(job_.state().backupFolder + "\\sub\\n.dll"));
  EXPECT_TRUE(Exists(job_.state().backupFolder + "\\sub"));
  EXPECT_TRUE(job_.RestoreBackups());
  EXPECT_EQ(ReadBytes(Client("\\sub\\n.dll")), "<missing>");
  EXPECT_EQ(ReadBytes(Client("\\b.dll")), "old b");
  ExpectOnlyInstalledFilesRemain();
}

TEST_F(InstallPipeline, AFileListedTwiceInAnotherCaseIsRestoredToItsFirstState) {
  WriteBytes(Client("\\c.dll"), "old c");
  Offer("\\c.dll", "new c one");
  Offer("\\C.DLL", "new c two");
  Offer("\\z.bin", "z", Md5Of("not z"));
  ASSERT_FALSE(job_.InstallFiles());
  EXPECT_EQ(ReadBytes(Client("\\c.dll")), "new c two");
  job_.RestoreBackups();
  EXPECT_EQ(ReadBytes(Client("\\c.dll")), "old c");
  ExpectOnlyInstalledFilesRemain();
}

TEST_F(InstallPipeline, DestinationInUseIsMovedAsideAndTheAsideCopyStays) {
  WriteBytes(Client("\\x.dll"), "old x");
  WriteBytes(Client("\\x.dll.bak"), "older aside");
  HANDLE held = CreateFileA(Client("\\x.dll").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  Offer("\\x.dll", "new x");
  const bool installed = job_.InstallFiles();
  CloseHandle(held);
  ASSERT_TRUE(installed);
  EXPECT_EQ(ReadBytes(Client("\\x.dll")), "new x");
  EXPECT_EQ(ReadBytes(Client("\\x.dll.bak")), "old x");
  ExpectOnlyInstalledFilesRemain();
}

TEST_F(InstallPipeline, AReadOnlyFileIsUpdatedTwiceInARowAndLeavesNoWorkFolder) {
  // A read-only destination, its read-only backup copy and, when it is in use,
  // its read-only aside file must not stop this update, the next one, or the
  // removal of the work folders.
  for (const bool inUse : {false, true}) {
    SCOPED_TRACE(inUse ? "in use" : "not in use");
    const std::string name = inUse ? "\\held.dll" : "\\ro.dll";
    WriteBytes(Client(name), "old");
    for (int run = 1; run <= 2; ++run) {
      SCOPED_TRACE(run);
      SetFileAttributesA(Client(name).c_str(), FILE_ATTRIBUTE_READONLY);
      std::optional<HeldOpen> held;
      if (inUse) held.emplace(Client(name), FILE_SHARE_READ | FILE_SHARE_DELETE);
      Offer(name, "new " + std::to_string(run));
      EXPECT_TRUE(job_.InstallFiles());
      held.reset();
      EXPECT_EQ(ReadBytes(Client(name)), "new " + std::to_string(run));
      ExpectOnlyInstalledFilesRemain();
    }
  }
}

// A file no one has open goes into the backup folder by a rename and the
// checked download itself takes its place: nothing is copied, and undoing the
// run gives back the very file, its read-only attribute included.
TEST_F(InstallPipeline, AnUnusedFileIsBackedUpByRenameAndComesBackWhole) {
  WriteBytes(Client("\\ro.dll"), "old ro");
  SetFileAttributesA(Client("\\ro.dll").c_str(), FILE_ATTRIBUTE_READONLY);
  Offer("\\ro.dll", "new ro");
  Offer("\\bad.dll", "new bad", Md5Of("something else"));
  ASSERT_FALSE(job_.InstallFiles());
  EXPECT_EQ(ReadBytes(Client("\\ro.dll")), "new ro");
  EXPECT_EQ(ReadBytes(job_.state().backupFolder + "\\ro.dll"), "old ro");
  EXPECT_FALSE(Exists(job_.state().tempFolder + "\\ro.dll"));

  job_.RestoreBackups();
  EXPECT_EQ(ReadBytes(Client("\\ro.dll")), "old ro");
  EXPECT_NE(GetFileAttributesA(Client("\\ro.dll").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  ExpectOnlyInstalledFilesRemain();
}

TEST_F(InstallPipeline, ADestinationWhoseBackupFailsIsNotTouched) {
  WriteBytes(Client("\\first.dll"), "old first");
  WriteBytes(Client("\\locked.dll"), "old locked");
  Offer("\\first.dll", "new first");
  Offer("\\locked.dll", "new locked");
  {
    // Nobody else may read it, so no backup copy can be made; it could still
    // be moved aside and replaced.
    HeldOpen held(Client("\\locked.dll"), FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    EXPECT_FALSE(job_.InstallFiles());
  }
  EXPECT_EQ(ReadBytes(Client("\\locked.dll")), "old locked");
  EXPECT_FALSE(Exists(Client("\\locked.dll.bak")));
  job_.RestoreBackups();
  EXPECT_EQ(ReadBytes(Client("\\first.dll")), "old first");
  ExpectOnlyInstalledFilesRemain();
}

TEST_F(InstallPipeline, AFolderOrAPathThroughAFileFailsItsFileBeforeAnythingIsTouched) {
  CreateDirectoryA(Client("\\codec").c_str(), nullptr);
  WriteBytes(Client("\\codec\\b.ocx"), "codec b");
  WriteBytes(Client("\\plain.dll"), "plain");
  for (const char* filePath : {"\\codec", "\\plain.dll\\x.dll"}) {
    SCOPED_TRACE(filePath);
    job_.state().FileUrlMap.clear();
    WriteBytes(Client("\\first.dll"), "old first");
    Offer("\\first.dll", "new first");
    Offer(filePath, "intruder");
    EXPECT_FALSE(job_.InstallFiles());
    EXPECT_EQ(server_.Requests().back(), "/files/first.dll");
    job_.RestoreBackups();
    EXPECT_EQ(ReadBytes(Client("\\codec\\b.ocx")), "codec b");
    EXPECT_FALSE(Exists(Client("\\codec.bak")));
    EXPECT_EQ(ReadBytes(Client("\\plain.dll")), "plain");
    EXPECT_EQ(ReadBytes(Client("\\first.dll")), "old first");
    ExpectOnlyInstalledFilesRemain();
  }
}

TEST_F(InstallPipeline, TheRestorePutsTheOldFileBackWhereverTheNewOneIsInUse) {
  struct Case {
    const char* what;
    bool heldAtInstall, heldAtRestore;
    const char* aside;
  };
  const Case cases[] = {
      {"moved aside by the install", true, false, "<missing>"},
      {"new file in use at the restore", false, true, "<missing>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeleteFileA(Client("\\srv.dll.bak").c_str());
    WriteBytes(Client("\\srv.dll"), "old srv");
    Offer("\\srv.dll", "new srv");
    Offer("\\z.bin", "z", Md5Of("not z"));
    {
      std::optional<HeldOpen> held;
      if (c.heldAtInstall) held.emplace(Client("\\srv.dll"), FILE_SHARE_READ | FILE_SHARE_DELETE);
      ASSERT_FALSE(job_.InstallFiles());
    }
    EXPECT_EQ(ReadBytes(Client("\\srv.dll")), "new srv");
    {
      std::optional<HeldOpen> held;
      if (c.heldAtRestore) held.emplace(Client("\\srv.dll"), FILE_SHARE_READ | FILE_SHARE_DELETE);
      job_.RestoreBackups();
    }
    EXPECT_EQ(ReadBytes(Client("\\srv.dll")), "old srv");
    EXPECT_EQ(ReadBytes(Client("\\srv.dll.bak")), c.aside);
    ExpectOnlyInstalledFilesRemain();
  }
}

// A rollback that cannot put a file back keeps the journal and every backup,
// says so, and the next start finishes it once the file is free.
TEST_F(InstallPipeline, ARollbackBlockedByAHolderIsFinishedByTheNextStart) {
  struct Case {
    const char* what;
    const char* held;
    DWORD share;
    bool restored;
  };
  const Case cases[] = {
      {"nothing held", nullptr, 0, true},
      {"replaced file held without delete sharing", "\\a.dll", FILE_SHARE_READ, false},
      {"added file held without delete sharing", "\\sub\\n.dll", FILE_SHARE_READ, false},
      {"replaced file held with delete sharing", "\\a.dll", FILE_SHARE_READ | FILE_SHARE_DELETE, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteBytes(Client("\\a.dll"), "old a");
    Offer("\\a.dll", "new a");
    Offer("\\sub\\n.dll", "new n");
    Offer("\\z.bin", "z", Md5Of("not z"));
    ASSERT_FALSE(job_.InstallFiles());
    {
      std::optional<HeldOpen> held;
      if (c.held) held.emplace(Client(c.held), c.share);
      EXPECT_EQ(job_.RestoreBackups(), c.restored);
      EXPECT_EQ(Exists(job_.state().backupFolder + "\\" + install_journal::kFileName), !c.restored);
      // Neither the next run's preparation nor the exit clean-up may drop it.
      Offer("\\a.dll", "new a");
      EXPECT_EQ(job_.InstallFiles(), c.restored);
      EXPECT_EQ(RemoveWorkFolders(job_.state()), c.restored);
      job_.state().FileUrlMap.clear();
      job_.state().FileHashMap.clear();
      job_.state().BackupMap.clear();
    }
    RecoverInterruptedInstall(job_.state().exeFolder);
    EXPECT_EQ(ReadBytes(Client("\\a.dll")), c.restored ? "new a" : "old a");
    EXPECT_FALSE(Exists(Client("\\sub\\n.dll")));
    EXPECT_FALSE(Exists(job_.state().backupFolder));
    EXPECT_FALSE(Exists(job_.state().tempFolder));
  }
}

TEST_F(InstallPipeline, TheManifestIsStoredUnderItsOwnNameWhateverItsUrlEndsWith) {
  for (const char* url : {"/list.cfg", "/list.cfg.bz2"}) {
    SCOPED_TRACE(url);
    server_.AddFile(url, std::string("manifest from ") + url);
    DeleteFileA(job_.state().historyPath.c_str());
    ASSERT_TRUE(job_.DownloadManifest(server_.Url(url)));
    EXPECT_EQ(ReadBytes(job_.state().historyPath), std::string("manifest from ") + url);
    EXPECT_FALSE(Exists(Client("\\list.cfg.bz2")));
  }
}

// What the run checks of its manifest is what it parses: from the download to
// the end of the run no one can write, rename or delete the stored file, read
// from memory or by the platform alike.
TEST_F(InstallPipeline, TheStoredManifestCannotChangeUnderTheRun) {
  const std::string plain = "[Root]\r\nVersionCount=1\r\n";
  const std::string quoted = "[Root]\r\nVersionCount=\"1\"\r\n";
  for (const std::string* manifest : {&plain, &quoted}) {
    SCOPED_TRACE(*manifest);
    server_.AddFile("/list.cfg", *manifest);
    ASSERT_TRUE(job_.DownloadManifest(server_.Url("/list.cfg")));
    EXPECT_EQ(job_.Manifest().inMemory(), manifest == &plain);
    EXPECT_FALSE(
        UniqueFile(CreateFileA(job_.state().historyPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr)));
    EXPECT_FALSE(MoveFileA(job_.state().historyPath.c_str(), (job_.state().historyPath + ".old").c_str()));
    EXPECT_FALSE(DeleteFileA(job_.state().historyPath.c_str()));
    EXPECT_EQ(job_.Manifest().Read("Root", "VersionCount", 31), "1");
    EXPECT_EQ(job_.Manifest().bytes().value_or(""), *manifest);
  }
  // The run's end releases it, and the manifest goes.
  EXPECT_TRUE(job_.RestoreBackups());
  ExpectOnlyInstalledFilesRemain();
}

TEST_F(InstallPipeline, LeftoverTemporaryFolderIsRemovedBeforeTheFirstDownload) {
  CreateDirectoryA(job_.state().tempFolder.c_str(), nullptr);
  CreateDirectoryA((job_.state().tempFolder + "\\old").c_str(), nullptr);
  WriteBytes(job_.state().tempFolder + "\\old\\junk.bin", "junk");
  CreateDirectoryA(job_.state().backupFolder.c_str(), nullptr);
  WriteBytes(job_.state().backupFolder + "\\stale.dll", "stale");
  std::vector<bool> leftoversSeen;
  observer_.onDownloadStarted = [&](const std::string&) {
    leftoversSeen.push_back(Exists(job_.state().tempFolder + "\\old") || Exists(job_.state().backupFolder + "\\stale.dll"));
  };
  Offer("\\a.dll", "new a");
  ASSERT_TRUE(job_.InstallFiles());
  EXPECT_EQ(leftoversSeen, std::vector<bool>{false});
  ExpectOnlyInstalledFilesRemain();
}

TEST_F(InstallPipeline, LeftoverThatCannotBeRemovedFailsBeforeAnyDownload) {
  for (const std::string* folder : {&job_.state().tempFolder, &job_.state().backupFolder}) {
    SCOPED_TRACE(*folder);
    CreateDirectoryA(folder->c_str(), nullptr);
    const std::string stuck = *folder + "\\stuck.bin";
    WriteBytes(stuck, "open elsewhere");
    HeldOpen held(stuck, FILE_SHARE_READ);
    WriteBytes(Client("\\a.dll"), "old a");
    Offer("\\a.dll", "new a");
    EXPECT_FALSE(job_.InstallFiles());
    EXPECT_TRUE(server_.Requests().empty());
    EXPECT_EQ(ReadBytes(Client("\\a.dll")), "old a");
    held.Release();
    RemoveTree(*folder);
  }
}

TEST_F(InstallPipeline, FilePathsOutsideTheClientFolderFailBeforeAnythingIsTouched) {
  const char* const hostile[] = {
      "\\..\\outside.dll",     "\\sub\\..\\..\\outside.dll", "C:\\x.dll",          "/x.dll",
      "\\UpdateTempFolder\\x", "\\tempbackupfolder\\x.dll",  "\\sub\\x.dll:stream"};
  for (const char* filePath : hostile) {
    SCOPED_TRACE(filePath);
    job_.state().FileUrlMap.clear();
    Offer("\\first.dll", "first");
    job_.state().FileUrlMap.Set(filePath, server_.Url("/files/outside.dll"));
    EXPECT_FALSE(job_.InstallFiles());
    EXPECT_TRUE(server_.Requests().empty());
    EXPECT_FALSE(Exists(job_.state().tempFolder));
    EXPECT_FALSE(Exists(job_.state().backupFolder));
    EXPECT_FALSE(Exists(Client("\\first.dll")));
  }
  EXPECT_FALSE(Exists(TempFolder() + "outside.dll"));
}

TEST_F(InstallPipeline, Bz2UrlFailsAndTheRestoreBringsTheOldFileBack) {
  for (bool withDigest : {false, true}) {
    SCOPED_TRACE(withDigest ? "with digest" : "without digest");
    WriteBytes(Client("\\a.dll"), "old a");
    server_.AddFile("/pack/a.dll.bz2", "compressed");
    job_.state().FileUrlMap.Set("\\a.dll", server_.Url("/pack/a.dll.bz2"));
    if (withDigest) job_.state().FileHashMap.Set("\\a.dll", Md5Of("compressed"));
    EXPECT_FALSE(job_.InstallFiles());
    job_.RestoreBackups();
    EXPECT_EQ(ReadBytes(Client("\\a.dll")), "old a");
    ExpectOnlyInstalledFilesRemain();
  }
}

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

namespace {

// The update check on a stored manifest: releases 100 to 500, each release
// after the first changing one file named after it, plus \shared.dll, which
// every release changes.
class UpdateCheck : public InstallPipeline {
 protected:
  void WriteManifest(const std::string& rootExtra, const std::vector<int>& versions,
                     const std::string& hostilePath = "") {
    std::string ini = "[Root]\r\nVersionCount=" + std::to_string(versions.size()) +
                      "\r\nCurrentVersionNum=v\r\nCurrentVersionTime=" + std::to_string(versions.back()) +
                      "\r\n" + rootExtra;
    for (std::size_t i = 0; i < versions.size(); ++i) {
      ini += "ver" + std::to_string(i) + "=" + std::to_string(versions[i]) + "\r\n";
    }
    for (std::size_t i = 1; i < versions.size(); ++i) {
      const std::string v = std::to_string(versions[i]);
      const std::string own = "\\r" + v + ".txt";
      server_.AddFile("/" + v + "/own", "own " + v);
      server_.AddFile("/" + v + "/shared", "shared " + v);
      ini += "[" + v + "]\r\nFileCount=" + std::string(hostilePath.empty() ? "2" : "3") + "\r\n" +
             "FilePath0=" + own + "\r\nFileUrl0=" + server_.Url("/" + v + "/own") + "\r\n" +
             "FileHashID0=" + Md5Of("own " + v) + "\r\n" +
             "FilePath1=\\shared.dll\r\nFileUrl1=" + server_.Url("/" + v + "/shared") + "\r\n";
      if (!hostilePath.empty())
        ini += "FilePath2=" + hostilePath + "\r\nFileUrl2=" + server_.Url("/x") + "\r\n";
    }
    WriteBytes(job_.state().historyPath, ini);
  }
};

TEST_F(UpdateCheck, TheInstalledReleaseDecidesWhichListsAreInstalled) {
  struct Case {
    int installed;
    bool installs;
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {400, true, {"\\r500.txt", "\\shared.dll"}},                              // one newer release
      {200, true, {"\\r300.txt", "\\shared.dll", "\\r400.txt", "\\r500.txt"}},  // three merged
      {500, false, {}},                                                         // already current
      {150, false, {}},                                                         // not listed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.installed);
    RemoveTree(folder_);
    CreateDirectoryA(folder_.c_str(), nullptr);
    job_.state().installedVersion = c.installed;
    observer_.listed.clear();
    WriteManifest("DownloadUrl=http://manual.example/\r\n", {100, 200, 300, 400, 500});
    const std::size_t before = server_.Requests().size();

    EXPECT_EQ(job_.CheckAndInstall(), c.installs);
    EXPECT_EQ(observer_.listed, c.rows);
    EXPECT_EQ(job_.state().downloadUrl, "http://manual.example/");
    EXPECT_EQ(server_.Requests().size() - before, c.rows.size());
    if (c.installs) {
      EXPECT_EQ(ReadBytes(Client("\\shared.dll")), "shared 500");
      ExpectOnlyInstalledFilesRemain();
    }
  }
}

TEST_F(UpdateCheck, TheFirstOfTwoEqualEntriesIsTheInstalledRelease) {
  job_.state().installedVersion = 200;
  job_.state().downloadUrl = "from settings";
  WriteManifest("", {100, 200, 200, 500});
  ASSERT_TRUE(job_.CheckAndInstall());
  EXPECT_EQ(job_.state().installedIndex, 1);
  EXPECT_EQ(observer_.listed, (std::vector<std::string>{"\\r200.txt", "\\shared.dll", "\\r500.txt"}));
  EXPECT_EQ(job_.state().downloadUrl, "from settings");
}

TEST_F(UpdateCheck, ARefusedFilePathFailsTheRunWithTheListShownAndNothingTouched) {
  job_.state().installedVersion = 400;
  WriteManifest("", {100, 200, 300, 400, 500}, "\\..\\outside.dll");
  EXPECT_FALSE(job_.CheckAndInstall());
  // Listed, so that the failure is told as one of an update that could not be made.
  EXPECT_EQ(observer_.listed, (std::vector<std::string>{"\\r500.txt", "\\shared.dll", "\\..\\outside.dll"}));
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_FALSE(Exists(job_.state().tempFolder));
  EXPECT_FALSE(Exists(job_.state().backupFolder));
}

TEST_F(UpdateCheck, WithKeysEveryFileNeedsASha256BeforeAnythingIsFetched) {
  // WriteManifest gives no file a FileSha256.
  job_.state().manifestKeys.resize(1);
  job_.state().installedVersion = 400;
  WriteManifest("", {100, 200, 300, 400, 500});
  EXPECT_FALSE(job_.CheckAndInstall());
  EXPECT_TRUE(observer_.listed.empty());
  EXPECT_TRUE(server_.Requests().empty());

  job_.state().FileUrlMap.clear();
  job_.state().FileHashMap.clear();
  WriteManifest("", {100, 200, 300, 400, 500});
  // Section 500 is the file's last: lines appended at the end belong to it.
  WriteBytes(job_.state().historyPath, ReadBytes(job_.state().historyPath) + "FileSha2560=" + Sha256Of("own 500") +
                                   "\r\nFileSha2561=" + Sha256Of("shared 500") + "\r\n");
  EXPECT_TRUE(job_.CheckAndInstall());
  EXPECT_EQ(ReadBytes(Client("\\shared.dll")), "shared 500");
  ExpectOnlyInstalledFilesRemain();
}

TEST_F(UpdateCheck, AFailedInstallationIsRolledBackBeforeTheCheckReturns) {
  job_.state().installedVersion = 400;
  WriteManifest("", {100, 200, 300, 400, 500});
  WriteBytes(Client("\\r500.txt"), "old r500");
  server_.AddFile("/500/own", "tampered");  // no longer matches its digest
  EXPECT_FALSE(job_.CheckAndInstall());
  EXPECT_EQ(observer_.listed.size(), 2u);
  EXPECT_EQ(ReadBytes(Client("\\r500.txt")), "old r500");
  ExpectOnlyInstalledFilesRemain();
}

}  // namespace
