#include "updater/core/install_journal_file.h"

#include <windows.h>

#include "updater/core/install_paths.h"
#include "updater/core/install_restore.h"
#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/core/update_job.h"

namespace {

std::string JournalPath(const std::string& backupFolder) {
  return backupFolder + "\\" + install_journal::kFileName;
}

bool WriteThrough(const std::string& path, DWORD disposition, const std::string& text) {
  UniqueFile file(CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size() && FlushFileBuffers(file.get());
}

// The journal's bytes, up to the length the parser reads; false without one.
bool ReadJournal(const std::string& backupFolder, std::string& bytes) {
  UniqueFile file(CreateFileA(JournalPath(backupFolder).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  char buffer[65536];
  DWORD got = 0;
  while (bytes.size() < install_journal::kMaxReadBytes && ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) &&
         got > 0) {
    bytes.append(buffer, got);
  }
  return true;
}

}  // namespace

bool StartInstallJournal(const std::string& backupFolder) {
  return WriteThrough(JournalPath(backupFolder), CREATE_ALWAYS, install_journal::HeaderLine());
}

bool AppendInstallJournal(const std::string& backupFolder, const install_journal::Record& record) {
  return WriteThrough(JournalPath(backupFolder), OPEN_EXISTING, install_journal::FormatRecord(record));
}

void RecoverInterruptedInstall(const std::string& exeFolder) {
  UpdateJobState paths;
  paths.exeFolder = exeFolder;
  paths.tempFolder = exeFolder + install_paths::kTempFolderName;
  paths.backupFolder = exeFolder + install_paths::kBackupFolderName;
  if (paths.backupFolder.size() > kMaxPathChars || paths.tempFolder.size() > kMaxPathChars) return;
  try {
    std::string bytes;
    if (!ReadJournal(paths.backupFolder, bytes)) return;
    const install_journal::PlayBackPlan plan = MakePlayBackPlan(install_journal::ParseJournal(bytes));
    run_log::Event("recovery").Add("journal_committed", plan.committed).Add("steps", plan.steps.size());
    for (const install_journal::RestoreStep& step : plan.steps) {
      if (!install_paths::FitsPathBuffers(paths, step.filePath)) continue;
      const std::string destination = exeFolder + step.filePath;
      const std::string aside = destination + ".bak";
      // Announced but not recorded as done: the move happened only if the
      // destination is gone; otherwise the aside name holds an older file.
      const bool putAsideBack = step.moved || (step.asideStarted && !IsFile(destination) && !IsFolder(destination));
      RestoreDestination(destination, paths.backupFolder + step.filePath, putAsideBack ? aside : std::string(),
                         step.existed, true);
    }
    DeleteWorkFolder(paths.tempFolder);
    DeleteWorkFolder(paths.backupFolder);
  } catch (...) {
    // Out of memory while reading a hostile journal: the run goes on.
  }
}
