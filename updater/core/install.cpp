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
// (RecoverInterruptedInstall), and a failed one by the same play-back.
//
// All paths are code page 936 texts formed by plain concatenation of the work
// folders (no trailing backslash) or exeFolder (with one) and a FilePath (with
// a leading one).

#include <io.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "updater/base/file_name_case.h"
#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/base/text_rules.h"
#include "updater/core/download_queue.h"
#include "updater/core/install_journal_file.h"
#include "updater/core/install_paths.h"
#include "updater/core/install_restore.h"
#include "updater/core/partial_cache_folder.h"
#include "updater/core/signed_manifest.h"
#include "updater/core/update_job.h"
#include "updater/transfer/cng.h"
#include "updater/transfer/md5.h"

namespace {

using install_paths::FolderPart;

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool EnsureFolder(const std::string& path) { return Exists(path) || CreateFolderPath(path); }

void DeleteFileIfPresent(const std::string& path) {
  if (_access(path.c_str(), 0) == 0) DeleteFileA(path.c_str());
}

// The stored manifest and its signature go together, whatever the outcome.
void DeleteManifestFiles(UpdateJob& job) {
  job.ReleaseManifest();
  DeleteFileIfPresent(job.historyPath);
  DeleteFileIfPresent(SignaturePathFor(job.historyPath));
}

void ClearFileTables(UpdateJob& job) {
  job.FileUrlMap.clear();
  job.BackupMap.clear();
  job.FileHashMap.clear();
  job.FileSha256Map.clear();
  job.FilePatchMap.clear();
  job.AsideMap.clear();
}

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
bool MakeBackupCopy(const UpdateJob& job, const std::string& destination, const std::string& backupCopy) {
  const std::string partial = job.backupFolder + "\\" + install_paths::kPartialCopyName;
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
bool NewFileOf(const UpdateJob& job, const std::string& filePath, const FetchedFile& fetched,
               install_journal::NewFile& written) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(fetched.download.file.get(), &size)) return false;
  written.size = static_cast<std::uint64_t>(size.QuadPart);
  // The digest the install checked: SHA-256 when listed, else MD5; a file
  // listed with neither had its SHA-256 taken as it arrived.
  const std::string* sha256 = job.FileSha256Map.Find(filePath);
  const std::string* md5 = job.FileHashMap.Find(filePath);
  written.digest = sha256 ? *sha256 : md5 ? *md5 : fetched.sha256Text;
  for (char& c : written.digest) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return true;
}

bool Journal(const UpdateJob& job, install_journal::RecordKind kind, const std::string& filePath,
             bool existed = false, const install_journal::NewFile& written = {}) {
  return AppendInstallJournal(job.backupFolder, {kind, filePath, existed, written});
}

// One file, strictly in this order: download (fetched ahead by the queue),
// digest checks, backup, replacement, registration, report. False ends the
// installation. The digests are those of the bytes as they arrived, and the
// file they belong to has been held since, so no one could change it.
bool InstallOneFile(UpdateJob& job, const std::string& filePath, DownloadQueue& queue, std::size_t index) {
  using install_journal::RecordKind;
  const std::string folder = FolderPart(filePath);
  const std::string backupCopy = job.backupFolder + filePath;
  const std::string destination = job.exeFolder + filePath;
  const std::string tempFile = job.tempFolder + filePath;
  // A killed run's log names the file it stopped at.
  run_log::Event("file_start").Add("path", filePath);
  // Written however the file ends: each step adds what it did.
  run_log::Event entry("file");
  entry.Add("path", filePath).Timed();

  if (!IsPlaceForFile(job.exeFolder, destination)) return entry.Failed("a folder is in the way");
  if (!EnsureFolder(job.tempFolder + folder))
    return entry.Error(GetLastError()).Failed("cannot create the temporary folder");
  FetchedFile* fetched = queue.Wait(index);
  if (fetched == nullptr) return entry.Failed("download");
  if (fetched->patched) entry.Add("patched", true);
  if (const std::string* digest = job.FileHashMap.Find(filePath)) {
    entry.Add("md5", HashMatches(fetched->md5Text, *digest) ? "ok" : "mismatch");
    if (!HashMatches(fetched->md5Text, *digest)) {
      DropFetchedFile(*fetched);  // never continued by a later run
      return entry.Add("md5_expected", *digest).Add("md5_got", fetched->md5Text).Failed("digest");
    }
  }
  if (const std::string* digest = job.FileSha256Map.Find(filePath)) {
    entry.Add("sha256", HashMatches(fetched->sha256Text, *digest) ? "ok" : "mismatch");
    if (!HashMatches(fetched->sha256Text, *digest)) {
      DropFetchedFile(*fetched);  // never continued by a later run
      return entry.Add("sha256_expected", *digest).Add("sha256_got", fetched->sha256Text).Failed("digest");
    }
  }

  install_journal::NewFile written;
  if (!NewFileOf(job, filePath, *fetched, written)) return entry.Error(GetLastError()).Failed("file size");
  if (!EnsureFolder(job.backupFolder + folder))
    return entry.Error(GetLastError()).Failed("cannot create the backup folder");
  // A file that does not exist yet has no backup; the entry is kept anyway.
  // The same file listed again in another letter case keeps its first backup,
  // which is the only copy of the file as it was before the run.
  const bool firstListing = !BackedUpAlready(job.BackupMap, destination);
  const bool existed = IsFile(destination);
  // A file no one has open goes into the backup folder by a rename, after its
  // journal record: nothing to copy or write to the disk, and a killed run
  // finds it either still in place or whole in the backup folder. A file in
  // use stays with its user and is backed up by a copy, complete and on disk
  // before its record. The rename is never allowed to become a copy (another
  // volume behind a junction): that fails, and the whole-copy fallback runs.
  const bool backUpByRename = firstListing && existed && NobodyHasOpen(destination);
  if (firstListing && existed && !backUpByRename && !MakeBackupCopy(job, destination, backupCopy))
    return entry.Error(GetLastError()).Failed("backup copy");
  job.BackupMap.Set(destination, backupCopy);
  if (!Journal(job, RecordKind::File, filePath, existed, written))
    return entry.Error(GetLastError()).Failed("journal");
  const bool renamedAway = backUpByRename && MoveFileExA(destination.c_str(), backupCopy.c_str(), 0);
  if (backUpByRename && !renamedAway && !MakeBackupCopy(job, destination, backupCopy))
    return entry.Error(GetLastError()).Failed("backup");
  entry.Add("backup", !existed        ? "none, new file"
                      : !firstListing ? "kept from the first listing"
                      : renamedAway   ? "renamed"
                                      : "copied");

  if (!folder.empty() && !EnsureFolder(job.exeFolder + folder))
    return entry.Error(GetLastError()).Failed("cannot create the folder");
  // The checked file itself takes the destination's place through its own
  // handle when it is free; a destination in use is overwritten, or moved aside.
  Placement placement;
  bool movedAside = false;
  const bool placed = PlaceHeldFile(
      fetched->download, destination, tempFile, [&] { return Journal(job, RecordKind::Aside, filePath); },
      [&] {
        // Only the first listing moves the file from before the run aside.
        if (firstListing) job.AsideMap.Set(destination, destination + ".bak");
        movedAside = firstListing;
        entry.Add("moved_aside", destination + ".bak");
        return Journal(job, RecordKind::Moved, filePath);
      },
      placement);
  if (!placed) {
    const DWORD error = GetLastError();
    // A write cut part-way (a full disk) left neither file there: the old one
    // goes back now, and the rollback's play-back finds it in place.
    if (placement.cutOver) {
      RestoreDestination(destination, backupCopy, movedAside ? destination + ".bak" : std::string(), existed,
                         job.exeFolder + install_paths::kSetAsideFolderName + filePath);
    }
    return entry.Error(error).Add("cut", placement.cutOver).Failed("cannot put the file in place");
  }
  entry.Add("placed", placement.renamed ? "renamed" : "copied");
  // Flushed, renamed, then recorded: the play-back restores this very file.
  if (!AppendInstallJournal(job.backupFolder,
                            {RecordKind::Placed, filePath, false, {}, placement.identity})) {
    return entry.Error(GetLastError()).Failed("journal");
  }
  if (!fetched->headPath.empty()) DeleteFileA(fetched->headPath.c_str());

  RegisterComServer(destination);
  if (job.owner()) job.owner()->ReportFileProgress(filePath, Installed, 0);
  return true;
}

// Both work folders start empty: a leftover of an earlier run is removed,
// unless it holds a journal still to be played back.
bool PrepareWorkFolders(const UpdateJob& job) {
  if (HasUnplayedJournal(job.backupFolder)) return false;
  for (const std::string* folder : {&job.tempFolder, &job.backupFolder}) {
    if (Exists(*folder) && !DeleteWorkFolder(*folder)) return false;
    if (!CreateFolderPath(*folder)) return false;
  }
  return true;
}

}  // namespace

bool UpdateJob::InstallFiles() {
  try {
    // A FilePath that would reach outside the client folder fails the run
    // before anything is created or downloaded.
    if (!install_paths::InstallTableIsContained(*this)) return false;
    if (!PrepareWorkFolders(*this))
      return run_log::Event("install").Error(GetLastError()).Failed("work folders");
    if (!StartInstallJournal(backupFolder))
      return run_log::Event("install").Error(GetLastError()).Failed("journal");
    // The queue stops its transfers when the loop ends, whichever way.
    DownloadQueue queue(*this, PlanUpdateDownloads(*this), [this](const std::string& filePath) {
      return IsPlaceForFile(exeFolder, exeFolder + filePath);
    });
    std::size_t index = 0;
    for (const auto& entry : FileUrlMap) {
      if (Cancelled() || !InstallOneFile(*this, entry.first, queue, index++)) return false;
    }
    run_log::Event("install").Add("files", FileUrlMap.size()).Add("committed", true);
    // From here on a killed run is complete: the next start only cleans up.
    if (!AppendInstallJournal(backupFolder,
                              {install_journal::RecordKind::Committed, std::string(), false, {}})) {
      return run_log::Event("install").Error(GetLastError()).Failed("journal");
    }
    ClearFileTables(*this);
    RemoveWorkFolders(*this);
    PrunePartialFolder(exeFolder + install_paths::kPartialFolderName, nullptr);
    DeleteManifestFiles(*this);
    return true;
  } catch (const std::exception& error) {
    // TransferError from the download client, or an allocation failure.
    return run_log::Event("install").Add("what", error.what()).Failed("exception");
  } catch (...) {
    return false;
  }
}

bool UpdateJob::RestoreBackups() {
  if (!BackupMap.empty()) run_log::Event("restore_backups").Add("files", BackupMap.size());
  try {
    // The journal on disk knows every change of the run, the files it added
    // included; what cannot be put back now stays for the next start.
    const bool restored = PlayBackInstallJournal(*this);
    // The kept downloads stay for the next run, no more than it can use; a
    // folder left empty goes.
    if (!FileUrlMap.empty()) {
      const std::vector<std::string> continuable = ContinuableKeys(*this);
      PruneKeptDownloads(exeFolder + install_paths::kPartialFolderName, &continuable);
    }
    RemoveDirectoryA((exeFolder + install_paths::kPartialFolderName).c_str());
    DeleteManifestFiles(*this);
    ClearFileTables(*this);
    return restored;
  } catch (...) {
    return false;
  }
}

bool DeleteWorkFolder(const std::string& path) {
  // Recursive removal is only ever meant for the two work folders; the name
  // test keeps a wrong or empty path from deleting an arbitrary directory.
  if (path.find(install_paths::kBackupFolderName) == std::string::npos &&
      path.find(install_paths::kTempFolderName) == std::string::npos &&
      path.find(install_paths::kSetAsideFolderName) == std::string::npos) {
    return false;
  }
  const std::string pattern = path + "\\*.*";
  if (pattern.size() > kMaxPathChars) return false;
  try {
    WIN32_FIND_DATAA entry;
    UniqueFind find(FindFirstFileA(pattern.c_str(), &entry));
    if (find) {
      do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..") continue;
        const std::string child = path + "\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
          // A link is removed itself; what it points at is not ours.
          if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveDirectoryA(child.c_str());
          } else {
            DeleteFileA(child.c_str());
          }
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          DeleteWorkFolder(child);
        } else {
          // A read-only copy never keeps a work folder alive.
          ClearReadOnly(child);
          DeleteFileA(child.c_str());
        }
      } while (FindNextFileA(find.get(), &entry));
    }
  } catch (...) {
    return false;
  }
  return RemoveDirectoryA(path.c_str()) != 0;
}

bool CreateFolderPath(const std::string& path) {
  std::string folder = path;
  if (!folder.empty() && folder.back() == '\\' &&
      install_paths::ParentPath(folder).size() == folder.size() - 1) {
    folder.pop_back();
  }
  if (Exists(folder)) return true;
  if (folder.empty()) return false;
  const std::string parent = install_paths::ParentPath(folder);
  if (!CreateFolderPath(parent)) return false;
  // The download queue's workers create the same folders at the same time as
  // the install loop: one that exists by now is as good as made here.
  return CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}
