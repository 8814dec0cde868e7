// The installation pipeline: every file of FileUrlMap is downloaded into
// UpdateTempFolder, checked against its digests, copied aside into
// TempBackUpFolder, put in place (moving aside a destination that is in use)
// and registered when it is a COM server, one file after the other.
//
// Nothing is undone here: the first failure returns false and leaves the work
// folders and tables as they are, and the caller's RestoreBackups plays back
// the journal. A destination that exists is touched only once its backup copy
// is complete, and never when it is a folder; registration is best effort.
//
// Before each destination changes, the install journal in TempBackUpFolder
// says so on disk (install_journal.h), with the size and digest of the file
// about to take its place; a backup copy exists under its name only once it
// is whole and on disk. A new file's bytes are on disk before the rename that
// publishes them, and its identity (file ID, last-write time) is recorded
// once it is in place, so the play-back restores that very file and leaves
// identical bytes a reinstall wrote since. The journal is committed once
// every file is in place.
// A run killed at any moment is then undone by the next start
// (RecoverInterruptedInstall), and a failed one by the same play-back; a
// journal that nobody can play back is set aside by a start, never left to
// refuse every later run (kept_journals.h).
//
// All paths are code page 936 texts formed by plain concatenation of the work
// folders (no trailing backslash) or exeFolder (with one) and a FilePath (with
// a leading one).

#include "updater/core/install.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "updater/base/file_name_case.h"
#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/base/text_rules.h"
#include "updater/core/com_registration.h"
#include "updater/core/download_queue.h"
#include "updater/core/install_journal_file.h"
#include "updater/core/install_paths.h"
#include "updater/core/install_restore.h"
#include "updater/core/partial_cache_folder.h"
#include "updater/core/work_folders.h"
#include "updater/transfer/md5.h"

namespace {

using install_paths::FolderPart;

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool EnsureFolder(const std::string& path) { return Exists(path) || CreateFolderPath(path); }

// Whether the file at destination has a backup already, under a name that
// differs at most in letter case (the file system ignores it).
bool BackedUpAlready(const FileTable& backupMap, const std::string& destination) {
  for (const auto& entry : backupMap) {
    if (file_name_case::SameGbkName(entry.first, destination)) return true;
  }
  return false;
}

// A file may take the destination's place only when no folder is there and
// every folder on its way is a folder, not a file.
bool IsPlaceForFile(const std::string& exeFolder, const std::string& destination) {
  if (IsFolder(destination)) return false;
  for (std::string parent = install_paths::ParentPath(destination); parent.size() > exeFolder.size();
       parent = install_paths::ParentPath(parent)) {
    if (IsFile(parent)) return false;
  }
  return true;
}

// The backup copy of an existing destination, complete and on disk, and
// without a read-only attribute that would keep the work folder from going.
// It is made under a work name and renamed once whole: a run killed during
// the copy never leaves a cut copy under the name the journal relies on.
bool MakeBackupCopy(const RunPaths& paths, const std::string& destination, const std::string& backupCopy) {
  const std::string partial = paths.backupFolder + "\\" + install_paths::kPartialCopyName;
  ClearReadOnly(partial);
  if (!CopyFileA(destination.c_str(), partial.c_str(), FALSE)) return false;
  ClearReadOnly(partial);
  return FlushFileToDisk(partial) &&
         MoveFileExA(partial.c_str(), backupCopy.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// What the run is about to put at the destination, for its journal record:
// the checked download's size, and the SHA-256 of its bytes as they arrived
// (empty without CNG: the play-back then cannot tell a later change from the
// run's).
bool NewFileOf(const UpdatePlan& plan, const std::string& filePath, const FetchedFile& fetched,
               install_journal::NewFile& written) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(fetched.download.file.get(), &size)) return false;
  written.size = static_cast<std::uint64_t>(size.QuadPart);
  // The digest the install checked: SHA-256 when listed, else MD5; a file
  // listed with neither had its SHA-256 taken as it arrived.
  const std::string* sha256 = plan.FileSha256Map.Find(filePath);
  const std::string* md5 = plan.FileHashMap.Find(filePath);
  written.digest = sha256 ? *sha256 : md5 ? *md5 : fetched.sha256Text;
  for (char& c : written.digest) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return true;
}

bool Journal(const RunPaths& paths, install_journal::RecordKind kind, const std::string& filePath,
             bool existed = false, const install_journal::NewFile& written = {}) {
  return AppendInstallJournal(paths.backupFolder, {kind, filePath, existed, written});
}

// The paths of one file of the table.
struct FilePaths {
  explicit FilePaths(const RunPaths& paths, const std::string& path)
      : filePath(path),
        folder(FolderPart(path)),
        backupCopy(paths.backupFolder + path),
        destination(paths.exeFolder + path),
        tempFile(paths.tempFolder + path) {}
  std::string filePath, folder, backupCopy, destination, tempFile;
};

// How the destination stood before the run changed it.
struct Backup {
  bool firstListing = false;  // no other listing of the file in another letter case backed it up
  bool existed = false;
};

// The listed digests against those of the bytes as they arrived. A file whose
// bytes are wrong is never continued by a later run.
bool DigestsMatch(const UpdatePlan& plan, const std::string& filePath, FetchedFile& fetched,
                  run_log::Event& entry) {
  if (const std::string* digest = plan.FileHashMap.Find(filePath)) {
    entry.Add("md5", HashMatches(fetched.md5Text, *digest) ? "ok" : "mismatch");
    if (!HashMatches(fetched.md5Text, *digest)) {
      DropFetchedFile(fetched);
      return entry.Add("md5_expected", *digest).Add("md5_got", fetched.md5Text).Failed("digest");
    }
  }
  if (const std::string* digest = plan.FileSha256Map.Find(filePath)) {
    entry.Add("sha256", HashMatches(fetched.sha256Text, *digest) ? "ok" : "mismatch");
    if (!HashMatches(fetched.sha256Text, *digest)) {
      DropFetchedFile(fetched);
      return entry.Add("sha256_expected", *digest).Add("sha256_got", fetched.sha256Text).Failed("digest");
    }
  }
  return true;
}

// Backs the destination up and journals it, before anything changes it.
bool BackUpDestination(const RunPaths& paths, InstallRecord& record, const FilePaths& file,
                       const install_journal::NewFile& written, Backup& backup, run_log::Event& entry) {
  if (!EnsureFolder(paths.backupFolder + file.folder))
    return entry.Error(GetLastError()).Failed("cannot create the backup folder");
  // A file that does not exist yet has no backup; the entry is kept anyway.
  // The same file listed again in another letter case keeps its first backup,
  // which is the only copy of the file as it was before the run.
  backup.firstListing = !BackedUpAlready(record.BackupMap, file.destination);
  backup.existed = IsFile(file.destination);
  // A file no one has open goes into the backup folder by a rename, after its
  // journal record: nothing to copy or write to the disk, and a killed run
  // finds it either still in place or whole in the backup folder. A file in
  // use stays with its user and is backed up by a copy, complete and on disk
  // before its record. The rename is never allowed to become a copy (another
  // volume behind a junction): that fails, and the whole-copy fallback runs.
  const bool backUpNow = backup.firstListing && backup.existed;
  const bool backUpByRename = backUpNow && NobodyHasOpen(file.destination);
  if (backUpNow && !backUpByRename && !MakeBackupCopy(paths, file.destination, file.backupCopy))
    return entry.Error(GetLastError()).Failed("backup copy");
  record.BackupMap.Set(file.destination, file.backupCopy);
  if (!Journal(paths, install_journal::RecordKind::File, file.filePath, backup.existed, written))
    return entry.Error(GetLastError()).Failed("journal");
  const bool renamedAway =
      backUpByRename && MoveFileExA(file.destination.c_str(), file.backupCopy.c_str(), 0);
  if (backUpByRename && !renamedAway && !MakeBackupCopy(paths, file.destination, file.backupCopy))
    return entry.Error(GetLastError()).Failed("backup");
  entry.Add("backup", !backup.existed        ? "none, new file"
                      : !backup.firstListing ? "kept from the first listing"
                      : renamedAway          ? "renamed"
                                             : "copied");
  return true;
}

// The checked file itself takes the destination's place through its own
// handle when it is free; a destination in use is overwritten, or moved aside.
bool PutInPlace(const RunPaths& paths, InstallRecord& record, const FilePaths& file, FetchedFile& fetched,
                const Backup& backup, run_log::Event& entry) {
  using install_journal::RecordKind;
  if (!file.folder.empty() && !EnsureFolder(paths.exeFolder + file.folder))
    return entry.Error(GetLastError()).Failed("cannot create the folder");
  const std::string aside = file.destination + ".bak";
  Placement placement;
  bool movedAside = false;
  const bool placed = PlaceHeldFile(
      fetched.download, file.destination, file.tempFile,
      [&] { return Journal(paths, RecordKind::Aside, file.filePath); },
      [&] {
        // Only the first listing moves the file from before the run aside.
        if (backup.firstListing) record.AsideMap.Set(file.destination, aside);
        movedAside = backup.firstListing;
        entry.Add("moved_aside", aside);
        return Journal(paths, RecordKind::Moved, file.filePath);
      },
      placement);
  if (!placed) {
    const DWORD error = GetLastError();
    // A write cut part-way (a full disk) left neither file there: the old one
    // goes back now, and the rollback's play-back finds it in place.
    if (placement.cutOver) {
      RestoreDestination(file.destination, file.backupCopy, movedAside ? aside : std::string(),
                         backup.existed,
                         paths.exeFolder + install_paths::kSetAsideFolderName + file.filePath);
    }
    return entry.Error(error).Add("cut", placement.cutOver).Failed("cannot put the file in place");
  }
  entry.Add("placed", placement.renamed ? "renamed" : "copied");
  // Flushed, renamed, then recorded: the play-back restores this very file.
  if (!AppendInstallJournal(paths.backupFolder,
                            {RecordKind::Placed, file.filePath, false, {}, placement.identity}))
    return entry.Error(GetLastError()).Failed("journal");
  return true;
}

// What the install of one plan works with.
struct Install {
  const RunPaths& paths;
  const UpdatePlan& plan;
  InstallRecord& record;  // what it changed so far
  const RunDownloads& run;
};

// One file, strictly in this order: download (fetched ahead by the queue),
// digest checks, backup, replacement, registration, report. False ends the
// installation. The digests are those of the bytes as they arrived, and the
// file they belong to has been held since, so no one could change it.
bool InstallOneFile(const Install& install, const std::string& filePath, DownloadQueue& queue,
                    std::size_t index) {
  const RunPaths& paths = install.paths;
  const FilePaths file(paths, filePath);
  // A killed run's log names the file it stopped at.
  run_log::Event("file_start").Add("path", filePath);
  // Written however the file ends: each step adds what it did.
  run_log::Event entry("file");
  entry.Add("path", filePath).Timed();

  if (!IsPlaceForFile(paths.exeFolder, file.destination)) return entry.Failed("a folder is in the way");
  if (!EnsureFolder(paths.tempFolder + file.folder))
    return entry.Error(GetLastError()).Failed("cannot create the temporary folder");
  FetchedFile* fetched = queue.Wait(index);
  if (fetched == nullptr) return entry.Failed("download");
  if (fetched->patched) entry.Add("patched", true);
  if (!DigestsMatch(install.plan, filePath, *fetched, entry)) return false;
  install_journal::NewFile written;
  if (!NewFileOf(install.plan, filePath, *fetched, written))
    return entry.Error(GetLastError()).Failed("file size");
  Backup backup;
  if (!BackUpDestination(paths, install.record, file, written, backup, entry)) return false;
  if (!PutInPlace(paths, install.record, file, *fetched, backup, entry)) return false;
  ForgetKeptRecord(*fetched);

  RegisterComServer(file.destination);
  if (install.run.observer()) install.run.observer()->ReportFileProgress(filePath, Installed, 0);
  return true;
}

// Both work folders start empty: a leftover of an earlier run is removed,
// unless it holds a journal still to be played back.
bool PrepareWorkFolders(const RunPaths& paths) {
  if (HasUnplayedJournal(paths.backupFolder)) return false;
  for (const std::string* folder : {&paths.tempFolder, &paths.backupFolder}) {
    if (Exists(*folder) && !DeleteWorkFolder(*folder)) return false;
    if (!CreateFolderPath(*folder)) return false;
  }
  return true;
}

}  // namespace

bool InstallUpdate(const RunPaths& paths, const UpdatePlan& plan, InstallRecord& record,
                   const RunDownloads& run) {
  try {
    // A FilePath that would reach outside the client folder fails the run
    // before anything is created or downloaded.
    if (!install_paths::InstallTableIsContained(paths, plan)) return false;
    if (!PrepareWorkFolders(paths))
      return run_log::Event("install").Error(GetLastError()).Failed("work folders");
    if (!StartInstallJournal(paths.backupFolder))
      return run_log::Event("install").Error(GetLastError()).Failed("journal");
    // The queue stops its transfers when the loop ends, whichever way.
    DownloadQueue queue(run.client(), run.observer(), PlanUpdateDownloads(paths, plan),
                        [&paths](const std::string& filePath) {
                          return IsPlaceForFile(paths.exeFolder, paths.exeFolder + filePath);
                        });
    const Install install{paths, plan, record, run};
    std::size_t index = 0;
    for (const auto& entry : plan.FileUrlMap) {
      if (run.Cancelled() || !InstallOneFile(install, entry.first, queue, index++)) return false;
    }
    run_log::Event("install").Add("files", plan.FileUrlMap.size()).Add("committed", true);
    // From here on a killed run is complete: the next start only cleans up.
    if (!AppendInstallJournal(paths.backupFolder,
                              {install_journal::RecordKind::Committed, std::string(), false, {}})) {
      return run_log::Event("install").Error(GetLastError()).Failed("journal");
    }
    RemoveWorkFolders(paths);
    PruneKeptDownloads(paths.exeFolder + install_paths::kPartialFolderName, PruneScope::kEverything);
    return true;
  } catch (const std::exception& error) {
    // TransferError from the download client, or an allocation failure.
    return run_log::Event("install").Add("what", error.what()).Failed("exception");
  } catch (...) {
    return false;
  }
}

bool RollBackUpdate(const RunPaths& paths, const UpdatePlan& plan, const InstallRecord& record) {
  if (!record.BackupMap.empty()) run_log::Event("restore_backups").Add("files", record.BackupMap.size());
  try {
    // The journal on disk knows every change of the run, the files it added
    // included; what cannot be put back now stays for the next start.
    const bool restored = PlayBackInstallJournal(paths);
    // The kept downloads stay for the next run, no more than it can use; a
    // folder left empty goes.
    const std::string partialFolder = paths.exeFolder + install_paths::kPartialFolderName;
    if (!plan.FileUrlMap.empty()) KeepContinuableDownloads(paths, plan);
    RemoveDirectoryA(partialFolder.c_str());
    return restored;
  } catch (...) {
    return false;
  }
}
