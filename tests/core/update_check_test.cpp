// The update check on a stored manifest, run through the job: which release
// lists are installed, refused file paths, signed manifests and the rollback
// of a failed installation.

#include "tests/core/install_pipeline_fixture.h"

namespace {

using namespace install_test;

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
