#pragma once
// One update attempt. Created by the dialog on the user-interface thread, run
// on the worker thread (Run), released by the dialog when the result arrives
// or after a cancel. Everything here runs on the worker thread unless a
// comment says otherwise.
//
// Run is the whole pipeline, one step after the other, each a function of its
// own file that takes the parts of the run's state it reads (update_job_state.h)
// and returns what it made:
//   paths and settings (client_settings.h: RunPaths, ClientSettings)
//   -> manifest fetch (manifest_fetch.h: the stored, verified manifest)
//   -> check (update_check.h: the UpdatePlan)
//   -> install of that plan (install.h), undone on failure.
// The job itself holds only what the steps share: the download client (and
// with it the cancel), the observer, the stored manifest while the check reads
// it, and the run's state as the steps fill it (paths, versions, the tables
// and the backups), which RestoreBackups plays back.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "updater/base/manifest_file_reader.h"
#include "updater/base/manifest_keys.h"
#include "updater/base/update_job_state.h"
#include "updater/core/run_downloads.h"
#include "updater/core/update_observer.h"
#include "updater/transfer/download_client.h"

class UpdateJob {
 public:
  // manifestKeys: the keys the manifest must be signed with; none: manifests
  // are unsigned.
  explicit UpdateJob(std::vector<ManifestKey> manifestKeys = {});
  UpdateJob(const UpdateJob&) = delete;
  UpdateJob& operator=(const UpdateJob&) = delete;

  // The worker's whole run; true on a completed update.
  bool Run(UpdateObserver* dialog);

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

  // Undoes what a failed or cancelled install changed (the journal's
  // play-back), and removes the stored manifest. On the worker after a failed
  // install, or on the user-interface thread once the worker has ended or was
  // left behind.
  bool RestoreBackups();

  // The manual-download page, for the balloon of a failed run: the
  // settings', or the manifest's once read. User-interface thread, after the
  // worker ended.
  const std::string& downloadPageUrl() const { return state_.downloadUrl; }

  // The run's state as the steps fill it. A test sets up a run in progress
  // through it: the paths below a folder of its own, the tables to install.
  UpdateJobState& state() { return state_; }
  const UpdateJobState& state() const { return state_; }

  // The steps of Run, for a test that starts a run part-way, with the state
  // that the steps before would have filled set by hand: paths and Upgrade.cfg
  // (InitPaths, ReadClientSettings), the manifest (DownloadManifest: stored at
  // historyPath below exeFolder), the check and install of a stored manifest
  // (CheckAndInstall; RestoreBackups on failure), and the install of the
  // tables as they stand (InstallFiles).
  bool InitPaths();
  bool ReadClientSettings();
  bool DownloadManifest(const std::string& url);
  bool CheckAndInstall();
  bool InstallFiles();
  // The stored manifest, read once and held against writers from the download
  // until the check has read it: what its signature check saw is what is parsed.
  const ManifestFileReader& Manifest();
  // The job's downloads, reported to the observer's rows (run_downloads.h).
  bool DownloadFile(const std::string& localPath, const std::string& url, int64_t maxLength,
                    Bz2Target rule = Bz2Target::UrlName);
  bool DownloadOnce(const std::string& localPath, const std::string& url);

  UpdateObserver* owner() const { return owner_; }
  // The dialog that receives progress; Run sets it from its argument.
  void SetOwner(UpdateObserver* dialog) { owner_ = dialog; }

 private:
  RunDownloads Downloads() { return RunDownloads(downloads_, owner_, state_.tempFolder); }
  void ReleaseManifest() { manifest_.reset(); }
  // The stored manifest, for the check to read and let go.
  std::unique_ptr<ManifestFileReader> TakeManifest();
  // The parts of the run's state that the steps take.
  RunPaths& Paths() { return state_; }
  const ClientSettings& Settings() const { return state_; }
  UpdatePlan& Plan() { return state_; }
  InstallRecord& Record() { return state_; }
  const ManifestTrust& Trust() const { return state_; }
  // Once installed or rolled back, the plan's tables and what the install
  // changed are done with: a later RestoreBackups has nothing to play back.
  void ForgetPlan();

  UpdateJobState state_;
  UpdateObserver* owner_ = nullptr;
  DownloadClient downloads_;
  std::unique_ptr<ManifestFileReader> manifest_;
};
