#pragma once
// One update attempt. Created by the dialog on the user-interface thread, run
// on the worker thread (Run), released by the dialog when the result arrives
// or after a cancel. Everything here runs on the worker thread unless a
// comment says otherwise.

#include <windows.h>

#include <memory>
#include <string>

#include "updater/base/manifest_file_reader.h"
#include "updater/base/update_job_state.h"
#include "updater/core/update_observer.h"
#include "updater/transfer/download_client.h"

class UpdateJob : public UpdateJobState {
 public:
  UpdateJob() = default;
  UpdateJob(const UpdateJob&) = delete;
  UpdateJob& operator=(const UpdateJob&) = delete;

  // The worker's whole run; true on a completed update.
  bool Run(UpdateObserver* dialog);

  // Settings and work folders.
  bool InitPaths();
  bool ReadClientSettings();

  // Update check. With keys built in, a manifest whose signature does not
  // verify is fetched once more with its signature, past every cache
  // (download_manifest.cpp).
  bool DownloadManifest(const std::string& url);
  // Fetches signatureUrl beside the manifest and checks the manifest against
  // it and manifestKeys (signed_manifest.cpp); mismatch tells a signature
  // fetched whole that does not verify.
  bool DownloadManifestSignature(const std::string& signatureUrl, bool& mismatch);
  bool CheckAndInstall();
  // The stored manifest, read once and held against writers from the download
  // until ReleaseManifest: what its signature check saw is what is parsed.
  const ManifestFileReader& Manifest();
  void ReleaseManifest() { manifest_.reset(); }
  bool ReadVersionIndex(bool& multiStep, bool& releaseSelected);
  bool ReadSingleVersion();
  bool ReadVersionRange();

  // Downloads through the job's DownloadClient, worker thread. DownloadFile
  // makes the attempts that AttemptBudget allows, continuing a cut body, and
  // fails a body longer than maxLength before writing it; DownloadOnce makes
  // one attempt. Both may raise TransferError. Progress goes to owner()
  // (SetProgressStep, StepProgress, ReportFileProgress), under the FilePath of
  // a file of the work folder.
  bool DownloadFile(const std::string& localPath, const std::string& url, int64_t maxLength,
                    Bz2Target rule = Bz2Target::UrlName);
  bool DownloadOnce(const std::string& localPath, const std::string& url);
  // Called on the user-interface thread while the worker runs: the transfer in
  // progress and every later attempt fail (DownloadClient::Cancel). The worker
  // may be inside a synchronous call to the dialog at that moment, so the
  // caller waits for the worker while still handling sent messages
  // (MsgWaitForMultipleObjects), never with a bare WaitForSingleObject.
  void Cancel() { downloads_.Cancel(); }
  // Whether Cancel has been called; any thread.
  bool Cancelled() const { return downloads_.cancelled(); }
  // Waits up to ms for a cancel; true when the run has been cancelled.
  bool WaitForCancel(uint32_t ms) const { return downloads_.WaitForCancel(ms); }
  // The job's download client; its time-outs are set before the worker starts.
  DownloadClient& downloads() { return downloads_; }

  // Installation pipeline.
  bool InstallFiles();
  bool RestoreBackups();

  UpdateObserver* owner() const { return owner_; }
  // The dialog that receives progress; Run sets it from its argument.
  void SetOwner(UpdateObserver* dialog) { owner_ = dialog; }

 private:
  // The manifest from url and, with keys built in, its signature.
  bool FetchManifestOnce(const std::string& url, const std::string& signatureUrl, bool& mismatch);

  UpdateObserver* owner_ = nullptr;
  DownloadClient downloads_;
  std::unique_ptr<ManifestFileReader> manifest_;
};

// Free operations of the pipeline and the check.
bool DeleteWorkFolder(const std::string& path);
bool CreateFolderPath(const std::string& path);
bool RegisterComServer(const std::string& path);

struct FileVersion {
  BYTE parts[4] = {0, 0, 0, 0};
  DWORD packed = 0;
  std::string text;
};
// Reads the fixed file version of path (the updater itself when path is empty).
bool ReadFileVersion(const std::string& path, FileVersion& version);
