// The download client's progress, turned into the dialog's row and
// progress-bar reports for the file being downloaded.

#include "updater/core/run_downloads.h"

#include "updater/transfer/download_rules.h"

namespace {

class RowProgress : public DownloadProgress {
 public:
  RowProgress(UpdateObserver* dialog, std::string displayPath)
      : dialog_(dialog), displayPath_(std::move(displayPath)) {}

  void Started(int32_t announcedLength, int32_t step) override {
    dialog_->SetProgressStep(step);
    dialog_->ReportFileProgress(displayPath_, DownloadStarted, announcedLength);
  }
  void Received(int32_t bytesSoFar) override {
    dialog_->StepProgress();
    dialog_->ReportFileProgress(displayPath_, Downloading, bytesSoFar);
  }
  void Finished(int32_t bytes) override { dialog_->ReportFileProgress(displayPath_, Downloaded, bytes); }

 private:
  UpdateObserver* dialog_;
  std::string displayPath_;
};

}  // namespace

bool RunDownloads::DownloadFile(const std::string& localPath, const std::string& url, int64_t maxLength,
                                Bz2Target rule) const {
  if (observer_ == nullptr) return client_.DownloadFile(localPath, url, nullptr, maxLength, rule);
  RowProgress progress(observer_, DisplayPath(localPath, tempFolder_));
  return client_.DownloadFile(localPath, url, &progress, maxLength, rule);
}

bool RunDownloads::DownloadOnce(const std::string& localPath, const std::string& url) const {
  if (observer_ == nullptr) return client_.DownloadOnce(localPath, url, nullptr, kInstallFileMaxBytes);
  RowProgress progress(observer_, DisplayPath(localPath, tempFolder_));
  return client_.DownloadOnce(localPath, url, &progress, kInstallFileMaxBytes);
}
