#pragma once
// What the worker thread sees of the progress dialog. The dialog implements it;
// tests stand in for it with a recorder. Every call is made on the worker
// thread and returns without waiting for the screen: the dialog shows the
// reports later, in the order they were made.

#include <cstdint>
#include <string>

#include "updater/base/file_table.h"

enum FileStage : int {
  DownloadStarted = 0,  // value: the announced length
  Downloading = 1,      // value: bytes received so far
  Downloaded = 2,       // value: bytes received in all
  Installed = 3,        // value: 0
};

class UpdateObserver {
 public:
  virtual ~UpdateObserver() = default;

  // One list row per entry of FileUrlMap, in the table's order.
  virtual void FillFileList(const FileTable& fileUrlMap) = 0;
  // Returns false only for an empty path; a path without a row changes nothing.
  virtual bool ReportFileProgress(const std::string& path, int stage, int32_t value) = 0;
  // The progress bar's PBM_SETSTEP and PBM_STEPIT, sent by the download client.
  virtual void SetProgressStep(int step) = 0;
  virtual void StepProgress() = 0;
};
