#pragma once
// The install journal: what a run is about to do to the client's files,
// written to disk before it does it, so that a run killed at any moment can be
// undone by the next start. Its exact bytes are described in
// docs/install-journal.md.
//
// The journal is a text file in TempBackUpFolder: a header line, then one
// record per line, each appended and flushed before the change it announces:
//
//   torvane-install-journal 2
//   file <TAB> 1 <TAB> \codec\b.ocx <TAB> 1234 <TAB> <sha-256> <TAB> 5f3a09c1
//       the destination is about to be replaced by a file of 1234 bytes with
//       that SHA-256 (empty when it could not be taken); 1: it existed, and a backup copy under its name
//       (TempBackUpFolder + FilePath) is whole; 0: it did not exist
//   aside <TAB> \codec\b.ocx <TAB> ...       about to be moved to its .bak name
//   moved <TAB> \codec\b.ocx <TAB> ...       it has been moved there
//   placed <TAB> \codec\b.ocx <TAB> <volume> <TAB> <index> <TAB> <time> <TAB> ...
//       the new file is in place, flushed: its file ID and last-write time
//   committed <TAB> ...                      every file is installed
//   unfinished <TAB> ...                     a start's play-back could not finish, with no
//                                            file in use to wait for (written by the start)
//
// Each record is written as a newline followed by its line, so that whatever a
// cut write left before it, the next record starts a line of its own. The last
// field of a record is the FNV-1a checksum (8 lowercase hex digits) of the
// bytes before its last tab. A record names a FilePath, never a full path:
// destination, backup copy and aside name are formed from the client folder
// of the run that reads the journal.
//
// Reading trusts nothing: a journal without a known header is not ours and
// plays back nothing; a line that is cut short or fails its checksum is
// skipped; a record whose FilePath fails the containment rules of a FilePath
// is skipped. A journal of the first version (written by older updaters: no
// size or digest, no newline before a record) is read as those updaters
// wrote it: up to its first line that is not whole.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "updater/base/update_limits.h"

namespace install_journal {

// The journal's name inside TempBackUpFolder. No FilePath may begin with it.
constexpr const char kFileName[] = "TorvaneInstall.journal";
// A longer journal is read only up to here (what follows counts as cut off).
constexpr std::size_t kMaxReadBytes = update_limits::kJournalMaxReadBytes;
// The version this updater writes; it reads this one and version 1.
constexpr int kVersion = 2;

enum class RecordKind { File, Aside, Moved, Committed, Placed, Unfinished };

// What a run put at a destination: the size and a digest of the new file,
// its SHA-256 (64 lowercase hex digits) or, when the manifest checks only
// that, its MD5 (32).
struct NewFile {
  std::uint64_t size = 0;
  std::string digest;
};

// Which file the run put at a destination, read from the handle that put it
// there: identical bytes written later by someone else differ in one of them.
struct PlacedFile {
  std::uint32_t volume = 0;     // volume serial number
  std::uint64_t index = 0;      // file index on that volume
  std::uint64_t lastWrite = 0;  // last-write time, 100 ns units since 1601
  bool operator==(const PlacedFile& other) const {
    return volume == other.volume && index == other.index && lastWrite == other.lastWrite;
  }
};

struct Record {
  RecordKind kind;
  std::string filePath;    // empty for Committed and Unfinished
  bool existed = false;    // File only
  NewFile written;         // File only; empty digest in a version 1 journal or when unknown
  PlacedFile placed = {};  // Placed only
};

// The header line of a version, and one record as this updater writes it.
std::string HeaderLine(int version = kVersion);
std::string FormatRecord(const Record& record);

struct Journal {
  bool ours = false;  // a known header was found
  int version = 0;
  std::vector<Record> records;  // the whole, checked, contained records in order
};
Journal ParseJournal(const std::string& bytes);

// What the play-back does for one destination: restore it from its backup copy
// (existed) or delete it (not existed); first put back its aside file when
// the journal says it was moved there (moved), or may have been (asideStarted).
// It touches the destination only while it is absent, is the very file the
// run placed there (placed), or a cut copy; identical bytes in another file
// were written since by someone else (written tells them, and serves alone
// when the run was killed before its placed record). knowsWritten false: a
// version 1 journal, which does not say what the run wrote.
struct RestoreStep {
  std::string filePath;
  bool existed = false;
  bool asideStarted = false;
  bool moved = false;
  bool knowsWritten = false;
  std::vector<NewFile> written;
  std::vector<PlacedFile> placed;  // the files the run is known to have put there
  bool placedRecorded = false;     // the last File record is followed by its Placed one
};

struct PlayBackPlan {
  bool committed = false;          // nothing to restore, only the clean-up
  std::vector<RestoreStep> steps;  // latest change first
  int unfinishedStarts = 0;        // starts whose play-back could not finish
};

// One step per destination, from its first File record: a FilePath listed again
// in another letter case names the same file, whose state before the run is
// what its first record saw, and which may hold what any of its records
// announced. A committed journal gives no steps.
PlayBackPlan MakePlayBackPlan(const Journal& journal);

}  // namespace install_journal
