#pragma once
// What the install pipeline's tests share: digests of test bytes, an observer
// that records the Installed reports, and the fixture whose job installs into
// a client folder of the test's own from a local HTTP server.

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

namespace install_test {

using namespace win_test;

using namespace win_test;

inline std::string Sha256Of(const std::string& bytes) {
  CngLibrary cng;
  Sha256Digest digest{};
  EXPECT_TRUE(cng.Load() && cng.Hash(bytes.data(), bytes.size(), digest));
  return EncodeHex(digest.data(), digest.size());
}

inline std::string Md5Of(const std::string& bytes) {
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
inline std::vector<std::string> FilesEndingWith(const std::string& folder, const std::string& suffix) {
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

}  // namespace install_test
