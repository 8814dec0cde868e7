#include "updater/core/install_journal_file.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/core/com_registration.h"
#include "updater/core/install_paths.h"
#include "updater/core/install_restore.h"
#include "updater/core/kept_journals.h"
#include "updater/core/placement.h"
#include "updater/core/work_folders.h"
#include "updater/transfer/cng.h"
#include "updater/transfer/md5.h"

namespace {

using install_journal::RestoreStep;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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

enum class JournalRead { Absent, Unreadable, Read };

// The journal's bytes, up to the length the parser reads.
JournalRead ReadJournal(const std::string& backupFolder, std::string& bytes) {
  const std::string path = JournalPath(backupFolder);
  UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    const bool absent = (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) &&
                        GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
    return absent ? JournalRead::Absent : JournalRead::Unreadable;
  }
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return JournalRead::Unreadable;
    if (got == 0 || bytes.size() >= install_journal::kMaxReadBytes) return JournalRead::Read;
    bytes.append(buffer, got);
  }
}

bool SizeOf(HANDLE file, std::uint64_t& size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(file, &value) || value.QuadPart < 0) return false;
  size = static_cast<std::uint64_t>(value.QuadPart);
  return true;
}

bool ReadExactly(HANDLE file, char* buffer, DWORD size) {
  DWORD got = 0;
  return ReadFile(file, buffer, size, &got, nullptr) && got == size;
}

// True when the file at part is a copy of the file at whole cut short, or
// whole: a prefix of it (our own writes, and Wine's copies, grow the file as
// they go), or its first bytes then zeros (Windows' CopyFile sets the full
// length first, and a power cut can keep a length without its data).
bool IsCutCopyOf(const std::string& part, const std::string& whole) {
  UniqueFile a(CreateFileA(part.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  UniqueFile b(CreateFileA(whole.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  std::uint64_t left = 0, wholeSize = 0;
  if (!a || !b || !SizeOf(a.get(), left) || !SizeOf(b.get(), wholeSize) || left > wholeSize) return false;
  std::vector<char> x(65536), y(65536);
  bool zeroTail = false;
  while (left > 0) {
    const DWORD chunk = left < x.size() ? static_cast<DWORD>(left) : static_cast<DWORD>(x.size());
    if (!ReadExactly(a.get(), x.data(), chunk) || !ReadExactly(b.get(), y.data(), chunk)) return false;
    if (zeroTail || std::memcmp(x.data(), y.data(), chunk) != 0) {
      for (DWORD i = 0; i < chunk; ++i) {
        zeroTail = zeroTail || x[i] != y[i];
        if (zeroTail && x[i] != 0) return false;
      }
    }
    left -= chunk;
  }
  return true;
}

// True when the file at path is all zeros and as long as one of the files the
// run wrote: renamed into place, its data never reached the disk.
bool IsZerosOfWrittenSize(const std::string& path, const RestoreStep& step) {
  UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  std::uint64_t left = 0;
  if (!file || !SizeOf(file.get(), left) || left == 0) return false;
  bool ofWrittenSize = false;
  for (const install_journal::NewFile& written : step.written)
    ofWrittenSize = ofWrittenSize || written.size == left;
  if (!ofWrittenSize) return false;
  std::vector<char> x(65536);
  while (left > 0) {
    const DWORD chunk = left < x.size() ? static_cast<DWORD>(left) : static_cast<DWORD>(x.size());
    if (!ReadExactly(file.get(), x.data(), chunk)) return false;
    for (DWORD i = 0; i < chunk; ++i) {
      if (x[i] != 0) return false;
    }
    left -= chunk;
  }
  return true;
}

bool HoldsFile(const std::string& path, const install_journal::NewFile& written) {
  UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  std::uint64_t size = 0;
  if (!file || !SizeOf(file.get(), size) || size != written.size) return false;
  file.reset();
  return HashMatches(written.digest.size() == 32 ? FileMd5Text(path) : FileSha256Text(path), written.digest);
}

bool HoldsAnyOf(const std::string& path, const RestoreStep& step) {
  for (const install_journal::NewFile& written : step.written) {
    if (HoldsFile(path, written)) return true;
  }
  return false;
}

// Where a restore moves new files in use out of the way: beside the work
// folders, so that a file still held there never blocks the next run.
std::string SetAsideFolder(const RunPaths& paths) {
  return paths.exeFolder + install_paths::kSetAsideFolderName;
}

// True when another program has the file open, so that waiting for it may
// let a later play-back through.
bool IsHeld(const std::string& path) { return IsFile(path) && !NobodyHasOpen(path); }

bool CanRead(const std::string& path) {
  return static_cast<bool>(
      UniqueFile(CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr)));
}

enum class Found { WhatTheRunLeft, ReplacedSince, Unrecognised, Unreadable };

// What the destination holds. The run left it absent, the very file it placed
// there, or a copy cut short of its download or of its backup (a placement or
// an earlier restore killed part-way, or a power cut). Someone else put it
// there since, and it stays, when it holds whole bytes the run wrote in
// another file than the one placed (a reinstall), or when the run's own file
// was whole in place (its placed record) and it now holds neither that file
// nor any copy the run or a play-back makes (another release's installer,
// the client writing its file). What is none of these is not resolved.
Found Recognise(const RestoreStep& step, const std::string& destination, const std::string& download,
                const std::string& backupCopy) {
  if (!IsFile(destination)) return Found::WhatTheRunLeft;
  install_journal::PlacedFile identity;
  if (IdentityOf(destination, identity)) {
    for (const install_journal::PlacedFile& placed : step.placed) {
      if (placed == identity) return Found::WhatTheRunLeft;
    }
  }
  // Without a digest nothing tells the run's file from another (a version 1 journal).
  if (!step.knowsWritten && step.placed.empty()) return Found::WhatTheRunLeft;
  // Bytes that cannot be read are not judged: a program holds the file.
  if (!CanRead(destination)) return Found::Unreadable;
  // The whole new bytes in another file than the one placed (a download left
  // whole at its temporary name would otherwise pass for a copy of it).
  const bool holdsNewBytes = HoldsAnyOf(destination, step);
  if (holdsNewBytes && step.placedRecorded) return Found::ReplacedSince;
  if (IsCutCopyOf(destination, download) || IsCutCopyOf(destination, backupCopy) ||
      IsZerosOfWrittenSize(destination, step)) {
    return Found::WhatTheRunLeft;
  }
  // Placed but not yet recorded, the run's file is known by its bytes only.
  if (holdsNewBytes) return Found::WhatTheRunLeft;
  return step.placedRecorded ? Found::ReplacedSince : Found::Unrecognised;
}

// The registry follows the files: a COM server the run put in place is
// unregistered before it goes, and whatever server stays in place, the old
// one put back or (when the restore fails) the run's, is registered. Neither
// ever fails the restore; regsvr32 logs its outcome.
bool RestoreWithRegistration(const RestoreStep& step, const std::string& destination,
                             const std::function<bool()>& restore) {
  const bool runServerThere =
      install_paths::HasComServerExtension(destination) && HoldsAnyOf(destination, step);
  if (runServerThere) UnregisterComServer(destination);
  const bool restored = restore();
  if (restored ? step.existed : runServerThere) RegisterComServer(destination);
  return restored;
}

// How the restore of one destination ended, the weightier later: a file in
// use is waited for; what nobody can resolve by waiting is set aside at the
// start (RecoverInterruptedInstall); other failures are tried a few times.
enum class Outcome { Done, Failed, Unresolvable, InUse };

// Someone else's file stays where it is; the backup of the file from before
// the run has no use left, and goes.
Outcome LeaveReplacedFile(const std::string& destination, const std::string& backupCopy) {
  ClearReadOnly(backupCopy);
  const bool dropped = IsFile(backupCopy) && DeleteFileA(backupCopy.c_str());
  run_log::Event("restore")
      .Add("file", destination)
      .Add("action", "none, replaced since the run")
      .Add("backup_dropped", dropped);
  return Outcome::Done;
}

Outcome RestoreStepOf(const RunPaths& paths, const RestoreStep& step) {
  // A run never touches a file whose paths do not fit.
  if (!install_paths::FitsPathBuffers(paths, step.filePath)) return Outcome::Done;
  const std::string destination = paths.exeFolder + step.filePath;
  const std::string backupCopy = paths.backupFolder + step.filePath;
  RemoveCopyBackLeftovers(destination);
  switch (Recognise(step, destination, paths.tempFolder + step.filePath, backupCopy)) {
    case Found::WhatTheRunLeft:
      break;
    case Found::ReplacedSince:
      return LeaveReplacedFile(destination, backupCopy);
    case Found::Unreadable:
      run_log::Event("restore").Add("file", destination).Failed("cannot be read");
      return IsHeld(destination) ? Outcome::InUse : Outcome::Failed;
    case Found::Unrecognised:
      // Perhaps the run's own file, cut by a power cut in a way no rule
      // knows: the backup, the only copy of the old file, is never given up.
      if (step.existed && IsFile(backupCopy)) {
        run_log::Event("restore").Add("file", destination).Failed("not recognised, backup kept");
        return Outcome::Unresolvable;
      }
      run_log::Event("restore").Add("file", destination).Add("action", "none, changed since the run");
      return Outcome::Done;
  }
  const std::string aside = destination + ".bak";
  // Announced but not recorded as done: the move happened only if the
  // destination is gone; otherwise the aside name holds an older file. A file
  // the run wrote is never the one from before it, whoever moved it there.
  const bool putAsideBack =
      (step.moved || (step.asideStarted && !IsFile(destination) && !IsFolder(destination))) &&
      !HoldsAnyOf(aside, step);
  const std::string setAside = SetAsideFolder(paths) + step.filePath;
  const bool restored = RestoreWithRegistration(step, destination, [&] {
    return RestoreDestination(destination, backupCopy, putAsideBack ? aside : std::string(), step.existed,
                              setAside);
  });
  if (restored) return Outcome::Done;
  return IsHeld(destination) || IsHeld(backupCopy) || (putAsideBack && IsHeld(aside)) ? Outcome::InUse
                                                                                      : Outcome::Failed;
}

// Removes both work folders, the journal first.
bool DiscardWorkFolders(const RunPaths& paths) {
  const std::string journal = JournalPath(paths.backupFolder);
  if (GetFileAttributesA(journal.c_str()) != INVALID_FILE_ATTRIBUTES && !DeleteFileA(journal.c_str()))
    return false;
  DeleteWorkFolder(paths.tempFolder);
  DeleteWorkFolder(paths.backupFolder);
  if (GetFileAttributesA(SetAsideFolder(paths).c_str()) != INVALID_FILE_ATTRIBUTES) {
    DeleteWorkFolder(SetAsideFolder(paths));
  }
  return true;
}

bool FitPathBuffers(const RunPaths& paths) {
  return paths.backupFolder.size() <= kMaxPathChars && paths.tempFolder.size() <= kMaxPathChars;
}

struct PlayBackResult {
  Outcome outcome = Outcome::Done;
  const char* cause = "";    // of an outcome that is not Done, for the log
  int version = 0;           // of the journal read
  int unfinishedStarts = 0;  // starts before this play-back that could not finish it
};

// Plays every step of the journal back, then removes the work folders once
// nothing is left to be done.
PlayBackResult PlayBack(const RunPaths& paths) {
  PlayBackResult result;
  std::string bytes;
  const JournalRead read = ReadJournal(paths.backupFolder, bytes);
  if (read == JournalRead::Unreadable) {
    run_log::Event("play_back").Error(GetLastError()).Failed("unreadable journal");
    const bool held = IsHeld(JournalPath(paths.backupFolder));
    return {held ? Outcome::InUse : Outcome::Unresolvable, held ? "journal in use" : "unreadable journal"};
  }
  if (read == JournalRead::Read) {
    const install_journal::Journal journal = install_journal::ParseJournal(bytes);
    const install_journal::PlayBackPlan plan = MakePlayBackPlan(journal);
    result.version = journal.version;
    result.unfinishedStarts = plan.unfinishedStarts;
    run_log::Event("play_back").Add("journal_committed", plan.committed).Add("steps", plan.steps.size());
    for (const RestoreStep& step : plan.steps) {
      // Every step is tried: each one that succeeds leaves less to a later play-back.
      result.outcome = std::max(result.outcome, RestoreStepOf(paths, step));
    }
  }
  // A journal that cannot be deleted is held by another program.
  if (result.outcome == Outcome::Done && !DiscardWorkFolders(paths)) result.outcome = Outcome::InUse;
  result.cause = result.outcome == Outcome::InUse          ? "in use"
                 : result.outcome == Outcome::Unresolvable ? "not recognised"
                 : result.outcome == Outcome::Failed       ? "restore failed"
                                                           : "";
  return result;
}

// Whether a journal whose play-back did not finish goes aside now: once
// nobody can resolve it by waiting, or once a few starts have failed to
// finish it with no file in use (a first-version journal keeps no count).
bool ShouldSetAside(const PlayBackResult& result) {
  switch (result.outcome) {
    case Outcome::Done:
    case Outcome::InUse:
      return false;
    case Outcome::Unresolvable:
      return true;
    case Outcome::Failed:
      break;
  }
  return result.version == 1 || result.unfinishedStarts + 1 >= kept_journals::kMaxUnfinishedStarts;
}

}  // namespace

bool StartInstallJournal(const std::string& backupFolder) {
  return WriteThrough(JournalPath(backupFolder), CREATE_ALWAYS, install_journal::HeaderLine());
}

bool AppendInstallJournal(const std::string& backupFolder, const install_journal::Record& record) {
  return WriteThrough(JournalPath(backupFolder), OPEN_EXISTING, install_journal::FormatRecord(record));
}

bool HasUnplayedJournal(const std::string& backupFolder) {
  std::string bytes;
  switch (ReadJournal(backupFolder, bytes)) {
    case JournalRead::Absent:
      return false;
    case JournalRead::Unreadable:
      return true;
    case JournalRead::Read:
      break;
  }
  return !MakePlayBackPlan(install_journal::ParseJournal(bytes)).steps.empty();
}

bool PlayBackInstallJournal(const RunPaths& paths) {
  return FitPathBuffers(paths) && PlayBack(paths).outcome == Outcome::Done;
}

bool RemoveWorkFolders(const RunPaths& paths) {
  return FitPathBuffers(paths) && !HasUnplayedJournal(paths.backupFolder) && DiscardWorkFolders(paths);
}

RunPaths WorkFoldersOf(const std::string& exeFolder) {
  RunPaths paths;
  paths.exeFolder = exeFolder;
  paths.tempFolder = exeFolder + install_paths::kTempFolderName;
  paths.backupFolder = exeFolder + install_paths::kBackupFolderName;
  return paths;
}

void RecoverInterruptedInstall(const std::string& exeFolder) {
  try {
    const RunPaths paths = WorkFoldersOf(exeFolder);
    if (!FitPathBuffers(paths)) return;
    // Without a journal no run has changed a file: the next run's preparation
    // or the exit clean-up removes what is left.
    if (GetFileAttributesA(JournalPath(paths.backupFolder).c_str()) == INVALID_FILE_ATTRIBUTES) return;
    run_log::Event recovery("recovery");
    recovery.Timed();
    const PlayBackResult result = PlayBack(paths);
    if (result.outcome == Outcome::Done) return;
    recovery.Add("cause", result.cause);
    // A start that cannot count itself sets the journal aside now rather than never.
    const bool setAside =
        ShouldSetAside(result) ||
        (result.outcome == Outcome::Failed &&
         !AppendInstallJournal(paths.backupFolder,
                               {install_journal::RecordKind::Unfinished, std::string(), false, {}}));
    std::string set;
    if (setAside && kept_journals::SetJournalAside(paths, result.cause, set)) {
      // The journal no longer blocks the update; its backups stay for support.
      DiscardWorkFolders(paths);
      recovery.Add("set_aside", set);
      return;
    }
    recovery.Failed("kept for the next start");
  } catch (...) {
    // Out of memory while reading a hostile journal: the run goes on.
  }
}
