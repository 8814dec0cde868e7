#pragma once
// What the download client's tests share: the scripted server's URLs and
// request log, an observer that records what would reach the dialog, and the
// fixture whose job downloads into a work folder of the test's own.

#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/win_test_files.h"
#include "updater/core/download_queue.h"
#include "updater/core/update_job.h"

namespace download_test {

using namespace win_test;

struct Event {
  enum Kind { Step, StepIt, Report } kind;
  std::string path;
  int stage = 0;
  int32_t value = 0;
};

inline bool operator==(const Event& a, const Event& b) {
  return a.kind == b.kind && a.path == b.path && a.stage == b.stage && a.value == b.value;
}

inline std::ostream& operator<<(std::ostream& out, const Event& e) {
  const char* kinds[] = {"SetStep", "StepIt", "Report"};
  return out << kinds[e.kind] << "(" << e.path << ", " << e.stage << ", " << e.value << ")";
}

inline Event StepEvent(int step) { return {Event::Step, "", 0, step}; }
inline Event StepItEvent() { return {Event::StepIt, "", 0, 0}; }
inline Event ReportEvent(const std::string& path, int stage, int32_t value) {
  return {Event::Report, path, stage, value};
}

// Stands in for the dialog: records what would reach its progress bar and rows.
class RecordingObserver : public UpdateObserver {
 public:
  RecordingObserver() : reached_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~RecordingObserver() override { CloseHandle(reached_); }

  void FillFileList(const FileTable&) override {}
  bool ReportFileProgress(const std::string& path, int stage, int32_t value) override {
    Add(ReportEvent(path, stage, value));
    if (stage == Downloading && value >= awaitedBytes_) SetEvent(reached_);
    return !path.empty();
  }
  void SetProgressStep(int step) override { Add(StepEvent(step)); }
  void StepProgress() override { Add(StepItEvent()); }

  std::vector<Event> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  int Count(Event::Kind kind, int stage = -1) const {
    int n = 0;
    for (const Event& e : events()) n += e.kind == kind && (stage < 0 || e.stage == stage);
    return n;
  }
  // Set once a download has received at least bytes (set before it starts).
  HANDLE Reached(int32_t bytes) {
    awaitedBytes_ = bytes;
    return reached_;
  }

 private:
  void Add(const Event& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(e);
  }
  mutable std::mutex mutex_;
  std::vector<Event> events_;
  HANDLE reached_;
  std::atomic<int32_t> awaitedBytes_{1};
};

// The limit of an update file, which every body here stays under.
constexpr int64_t kMax = kInstallFileMaxBytes;

inline std::string ServerUrl(const std::string& pathAndQuery) {
  return "http://127.0.0.1:" + EnvText("DOWNLOAD_TEST_PORT") + pathAndQuery;
}

// The whole body of url, fetched without the client under test.
inline std::string FetchTextWithFlags(const std::string& url, DWORD flags) {
  std::string text;
  HINTERNET session = InternetOpenA("probe", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (session == nullptr) return text;
  HINTERNET request = InternetOpenUrlA(session, url.c_str(), nullptr, 0, flags, 0);
  if (request != nullptr) {
    char buffer[4096];
    DWORD count = 0;
    while (InternetReadFile(request, buffer, sizeof buffer, &count) && count > 0) text.append(buffer, count);
    InternetCloseHandle(request);
  }
  InternetCloseHandle(session);
  return text;
}

// How many requests carried the token "t=name" (the last item of their query).
inline std::string FetchText(const std::string& url) { return FetchTextWithFlags(url, 0x84000002u); }

inline int RequestsWithToken(const std::string& name) {
  const std::string log = FetchText(ServerUrl("/__requests"));
  const std::string needle = "t=" + name + "\"";
  int n = 0;
  for (std::size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
  return n;
}

inline int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

inline std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = data.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return names;
}

inline double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

class DownloadClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(EnvText("DOWNLOAD_TEST_PORT").empty()) << "run through run_download_tests.py";
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info->name();
    std::replace(name.begin(), name.end(), '/', '-');  // a parameterised test's name holds its row
    work_ = TempFolder() + "download-" + name + "-" + std::to_string(GetCurrentProcessId());
    RemoveTree(work_);
    ASSERT_TRUE(CreateDirectoryA(work_.c_str(), nullptr));
    // The work folder plays the part of tempFolder: a file's display path is
    // what follows it.
    job_.state().exeFolder = work_ + "\\";
    job_.state().tempFolder = work_;
    job_.SetOwner(&observer_);
  }
  void TearDown() override { RemoveTree(work_); }

  std::string work_;
  RecordingObserver observer_;
  UpdateJob job_;
};

}  // namespace download_test
