// The installation pipeline replacing files: the digest checks, the backup,
// the move-aside of a file in use, the restore of a failed run, leftover work
// folders and file paths outside the client folder.

#include "tests/core/install_pipeline_fixture.h"

namespace {

using namespace install_test;

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

}  // namespace
