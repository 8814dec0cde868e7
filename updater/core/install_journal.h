#pragma once
// The install journal: what a run is about to do to the client's files,
// written to disk before it does it, so that a run killed at any moment can be
// undone by the next start.
//
// The journal is a text file in TempBackUpFolder. Its first line is the
// header; each further line is one record, appended and flushed before the
// change it announces:
//
//   torvane-install-journal 1
//   file <TAB> 1 <TAB> \codec\b.ocx <TAB> 5f3a09c1    destination about to be replaced;
//                                                      1: it existed and its backup copy
//                                                      (TempBackUpFolder + FilePath) is
//                                                      complete; 0: it did not exist
//   aside <TAB> \codec\b.ocx <TAB> ...                 about to be moved to its .bak name
//   moved <TAB> \codec\b.ocx <TAB> ...                 it has been moved there
//   committed <TAB> ...                                every file is installed
//
// The last field of a record is the FNV-1a checksum (8 lowercase hex digits)
// of the bytes before its last tab. A record names a FilePath, never a full
// path: destination, backup copy and aside name are formed from the client
// folder of the run that reads the journal.
//
// Reading trusts nothing: a journal without the header is not ours and plays
// back nothing; reading stops at the first line that is cut short or fails its
// checksum (a run killed while writing); a record whose FilePath fails the
// containment rules of a FilePath is skipped.

#include <cstddef>
#include <string>
#include <vector>

namespace install_journal {

// The journal's name inside TempBackUpFolder. No FilePath may begin with it.
constexpr const char kFileName[] = "TorvaneInstall.journal";
// A longer journal is read only up to here (what follows counts as cut off).
constexpr std::size_t kMaxReadBytes = 8u << 20;

enum class RecordKind { File, Aside, Moved, Committed };

struct Record {
  RecordKind kind;
  std::string filePath;  // empty for Committed
  bool existed = false;  // File only
};

// The header line, and one record as a line, both ending with "\n".
std::string HeaderLine();
std::string FormatRecord(const Record& record);

struct Journal {
  bool ours = false;           // the header was found
  std::vector<Record> records; // the whole, checked, contained records in order
};
Journal ParseJournal(const std::string& bytes);

// What the play-back does for one destination: restore it from its backup copy
// (existed) or delete it (not existed); first put back its aside file when
// the journal says it was moved there (moved), or may have been (asideStarted).
struct RestoreStep {
  std::string filePath;
  bool existed = false;
  bool asideStarted = false;
  bool moved = false;
};

struct PlayBackPlan {
  bool committed = false;          // nothing to restore, only the clean-up
  std::vector<RestoreStep> steps;  // latest change first
};

// One step per destination, from its first File record: a FilePath listed again
// in another letter case names the same file, whose state before the run is
// what its first record saw. A committed journal gives no steps.
PlayBackPlan MakePlayBackPlan(const Journal& journal);

}  // namespace install_journal
