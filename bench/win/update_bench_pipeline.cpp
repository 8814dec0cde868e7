// The update check and installation pipeline alone, without the dialog: the
// manifest is fetched and CheckAndInstall runs on this thread, reporting to an
// observer that does nothing. Set beside a whole update of Torvane.exe, it
// separates the pipeline's own cost from that of the dialog's messages.
//
//   update_bench_pipeline CLIENT_FOLDER MANIFEST_URL INSTALLED_VERSION
//
// CLIENT_FOLDER is the client's folder (with or without a trailing backslash).
// Prints one line starting with "pipeline:"; exit code 1 when the update fails.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "updater/core/update_job.h"

namespace {

class SilentObserver : public UpdateObserver {
 public:
  void FillFileList(const FileTable&) override {}
  bool ReportFileProgress(const std::string& path, int, int32_t) override { return !path.empty(); }
  void SetProgressStep(int) override {}
  void StepProgress() override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: update_bench_pipeline CLIENT_FOLDER MANIFEST_URL INSTALLED_VERSION\n");
    return 2;
  }
  SilentObserver observer;
  UpdateJob job;
  job.SetOwner(&observer);
  job.state().exeFolder = argv[1];
  if (job.state().exeFolder.back() != '\\') job.state().exeFolder += '\\';
  job.state().tempFolder = job.state().exeFolder + "UpdateTempFolder";
  job.state().backupFolder = job.state().exeFolder + "TempBackUpFolder";
  job.state().historyPath = job.state().exeFolder + "HistoryVersionList.cfg";
  job.state().installedVersion = std::atoi(argv[3]);

  const auto start = std::chrono::steady_clock::now();
  const bool done = job.DownloadManifest(argv[2]) && job.CheckAndInstall();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("pipeline: %s, %.3f s\n", done ? "installed" : "failed", seconds);
  return done ? 0 : 1;
}
