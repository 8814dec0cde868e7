// The play-back of an install journal at start-up, on a real folder: what a
// killed run left is put back, whatever the journal says stays inside the
// client folder, and the work folders go. A destination that no longer holds
// what the run left is not touched, and a play-back cut short can be repeated.
// A journal nobody can finish is set aside with its backups, within bounds.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/core/legacy_journal.h"
#include "tests/support/win_test_files.h"
#include "updater/base/hex_text.h"
#include "updater/transfer/cng.h"
#include "updater/core/install_journal.h"
#include "updater/core/install_journal_file.h"
#include "updater/core/com_registration.h"
#include "updater/core/install_paths.h"
#include "updater/core/install_restore.h"
#include "updater/core/kept_journals.h"
#include "updater/core/update_job.h"
#include "updater/core/work_folders.h"

namespace {

using namespace win_test;

using install_journal::FormatRecord;
using install_journal::HeaderLine;
using install_journal::Record;
using install_journal::RecordKind;

std::string Sha256Of(const std::string& bytes) {
  CngLibrary cng;
  Sha256Digest digest{};
  EXPECT_TRUE(cng.Load() && cng.Hash(bytes.data(), bytes.size(), digest));
  return EncodeHex(digest.data(), digest.size());
}

// A file record of a run that put newBytes at filePath.
std::string FileRecord(const std::string& filePath, bool existed, const std::string& newBytes) {
  return FormatRecord({RecordKind::File, filePath, existed, {newBytes.size(), Sha256Of(newBytes)}});
}
std::string AsideRecord(const std::string& filePath) {
  return FormatRecord({RecordKind::Aside, filePath, false, {}});
}
std::string MovedRecord(const std::string& filePath) {
  return FormatRecord({RecordKind::Moved, filePath, false, {}});
}
std::string PlacedRecord(const std::string& filePath, const install_journal::PlacedFile& identity) {
  return FormatRecord({RecordKind::Placed, filePath, false, {}, identity});
}
std::string CommittedRecord() { return FormatRecord({RecordKind::Committed, std::string(), false, {}}); }

constexpr char kBackup[] = "TempBackUpFolder\\";
constexpr char kMissing[] = "<missing>";

// Paths are relative to the client folder; "..\\" reaches the folder above it.
using Files = std::vector<std::pair<std::string, std::string>>;

struct Case {
  const char* what;
  Files before;             // the folder as the killed run left it (TempBackUpFolder included)
  std::string journal;      // the journal's bytes
  Files after;              // what the play-back must leave
  std::string held = {};    // a file held open with read sharing only during the first play-back
  std::string placed = {};  // a file whose own identity ends the journal as placed there
  int startsKept = 0;       // starts after the first that still keep the journal
  bool setAside = false;    // the journal and its backups end in the kept set
};

// Where the first journal set aside goes, with its backups.
constexpr char kKeptSet[] = "TorvaneKept\\1\\";

TEST(InstallRecovery, AJournalIsPlayedBackWithinTheClientFolderAndTheWorkFoldersGo) {
  const std::string killedMidEntry = FileRecord("\\b.dll", true, "new b");
  const Case cases[] = {
      {"killed between two replacements",
       {{"a.dll", "new a"},
        {"n.dll", "new n"},
        {"b.dll", "old b"},
        {"sub\\c.dll", "new c"},
        {std::string(kBackup) + "a.dll", "old a"},
        {std::string(kBackup) + "sub\\c.dll", "old c"}},
       HeaderLine() + FileRecord("\\a.dll", true, "new a") + FileRecord("\\n.dll", false, "new n") +
           FileRecord("\\sub\\c.dll", true, "new c"),
       {{"a.dll", "old a"}, {"n.dll", kMissing}, {"b.dll", "old b"}, {"sub\\c.dll", "old c"}}},
      {"journal cut in the middle of an entry",
       {{"a.dll", "new a"},
        {"b.dll", "old b"},
        {std::string(kBackup) + "a.dll", "old a"},
        {std::string(kBackup) + "b.dll", "stale"}},
       HeaderLine() + FileRecord("\\a.dll", true, "new a") +
           killedMidEntry.substr(0, killedMidEntry.size() / 2),
       {{"a.dll", "old a"}, {"b.dll", "old b"}}},
      {"committed journal: only the clean-up",
       {{"a.dll", "new a"}, {"n.dll", "new n"}, {std::string(kBackup) + "a.dll", "old a"}},
       HeaderLine() + FileRecord("\\a.dll", true, "new a") + FileRecord("\\n.dll", false, "new n") +
           CommittedRecord(),
       {{"a.dll", "new a"}, {"n.dll", "new n"}}},
      {"paths outside the client folder are not trusted",
       {{"..\\outside.dll", "outside"}, {"a.dll", "new a"}, {std::string(kBackup) + "a.dll", "old a"}},
       HeaderLine() + FileRecord("\\..\\outside.dll", false, "x") + FileRecord("\\a.dll", true, "new a") +
           FileRecord("\\TempBackUpFolder\\a.dll", false, "x"),
       {{"..\\outside.dll", "outside"}, {"a.dll", "old a"}}},
      {"not our journal",
       {{"a.dll", "new a"}, {std::string(kBackup) + "a.dll", "old a"}},
       "file\t0\t\\a.dll\n",
       {{"a.dll", "new a"}}},
      {"a file moved aside is put back",
       {{"x.dll", "new x"}, {"x.dll.bak", "old x"}, {std::string(kBackup) + "x.dll", "old x"}},
       HeaderLine() + FileRecord("\\x.dll", true, "new x") + AsideRecord("\\x.dll") + MovedRecord("\\x.dll"),
       {{"x.dll", "old x"}, {"x.dll.bak", kMissing}}},
      {"killed right after the move aside: the destination is gone",
       {{"x.dll.bak", "old x"}, {std::string(kBackup) + "x.dll", "old x"}},
       HeaderLine() + FileRecord("\\x.dll", true, "new x") + AsideRecord("\\x.dll"),
       {{"x.dll", "old x"}, {"x.dll.bak", kMissing}}},
      {"killed before the move aside: an older aside file is no backup",
       {{"x.dll", "old x"}, {"x.dll.bak", "older aside"}, {std::string(kBackup) + "x.dll", "old x"}},
       HeaderLine() + FileRecord("\\x.dll", true, "new x") + AsideRecord("\\x.dll"),
       {{"x.dll", "old x"}, {"x.dll.bak", "older aside"}}},
      {"reinstalled since, unplaced: what the run did not write stays, the old file's backup is set aside",
       {{"a.dll", "reinstalled a"}, {"n.dll", "reinstalled n"}, {std::string(kBackup) + "a.dll", "old a"}},
       HeaderLine() + FileRecord("\\a.dll", true, "new a") + FileRecord("\\n.dll", false, "new n"),
       {{"a.dll", "reinstalled a"}, {"n.dll", "reinstalled n"}, {std::string(kKeptSet) + "a.dll", "old a"}},
       "",
       "",
       0,
       true},
      {"placed, then replaced by other bytes: the file stays and its backup goes",
       {{"a.dll", "release 600 a"},
        {"b.dll", "new b"},
        {std::string(kBackup) + "a.dll", "old a"},
        {std::string(kBackup) + "b.dll", "old b"}},
       HeaderLine() + FileRecord("\\a.dll", true, "new a") + PlacedRecord("\\a.dll", {1, 2, 3}) +
           FileRecord("\\b.dll", true, "new b"),
       {{"a.dll", "release 600 a"}, {"b.dll", "old b"}}},
      {"a restore that fails with no file in use is tried at a few starts, then set aside",
       {{"sub", "a file where the folder was"}, {std::string(kBackup) + "sub\\c.dll", "old c"}},
       HeaderLine() + FileRecord("\\sub\\c.dll", true, "new c"),
       {{"sub", "a file where the folder was"}, {std::string(kKeptSet) + "sub\\c.dll", "old c"}},
       "",
       "",
       2,
       true},
      {"a copy-back killed before its rename: the whole old copy beside the destination goes",
       {{"a.dll", "new a"},
        {"a.dll.TorvaneCopy", "old a"},
        {"a.dll.TorvaneCopy.partial", "old a"},
        {std::string(kBackup) + "a.dll", "old a"}},
       HeaderLine() + FileRecord("\\a.dll", true, "new a"),
       {{"a.dll", "old a"}, {"a.dll.TorvaneCopy", kMissing}, {"a.dll.TorvaneCopy.partial", kMissing}}},
      {"reinstalled since with the run's very bytes: another file than the one placed stays",
       {{"a.dll", "new a"}, {"UpdateTempFolder\\a.dll", "new a"}, {std::string(kBackup) + "a.dll", "old a"}},
       HeaderLine() + FileRecord("\\a.dll", true, "new a") + PlacedRecord("\\a.dll", {1, 2, 3}),
       {{"a.dll", "new a"}}},
      {"the very file the run placed is restored",
       {{"a.dll", "new a"}, {std::string(kBackup) + "a.dll", "old a"}},
       HeaderLine() + FileRecord("\\a.dll", true, "new a"),
       {{"a.dll", "old a"}},
       "",
       "a.dll"},
      {"a power cut after the rename: zeros of the new length",
       {{"b.dll", std::string(11, '\0')}, {std::string(kBackup) + "b.dll", "old b"}},
       HeaderLine() + FileRecord("\\b.dll", true, "longer by 6") + PlacedRecord("\\b.dll", {1, 2, 3}),
       {{"b.dll", "old b"}}},
      {"again after a play-back killed during a copy that set the full length first",
       {{"a.dll", std::string("ol") + std::string(3, '\0')}, {std::string(kBackup) + "a.dll", "old a"}},
       HeaderLine() + FileRecord("\\a.dll", true, "new a"),
       {{"a.dll", "old a"}}},
      {"a journal of the first version is played back as it was written",
       {{"a.dll", "new a"}, {"n.dll", "new n"}, {std::string(kBackup) + "a.dll", "old a"}},
       HeaderLine(1) + LegacyJournalLine("file\t1\t\\a.dll") + LegacyJournalLine("file\t0\t\\n.dll"),
       {{"a.dll", "old a"}, {"n.dll", kMissing}}},
      {"a file in use without delete sharing: kept until it is free",
       {{"a.dll", "new a"}, {"n.dll", "new n"}, {std::string(kBackup) + "a.dll", "old a"}},
       HeaderLine() + FileRecord("\\a.dll", true, "new a") + FileRecord("\\n.dll", false, "new n"),
       {{"a.dll", "old a"}, {"n.dll", kMissing}},
       "a.dll"},
      {"a new file in use without delete sharing: kept until it is free",
       {{"n.dll", "new n"}},
       HeaderLine() + FileRecord("\\n.dll", false, "new n"),
       {{"n.dll", kMissing}},
       "n.dll"},
      {"again after a play-back killed with the new file set aside",
       {{"TorvaneSetAside\\a.dll", "new a"}, {std::string(kBackup) + "a.dll", "old a"}},
       HeaderLine() + FileRecord("\\a.dll", true, "new a"),
       {{"a.dll", "old a"}}},
      {"again after a play-back killed during its copy",
       {{"a.dll", "ol"}, {std::string(kBackup) + "a.dll", "old a"}},
       HeaderLine() + FileRecord("\\a.dll", true, "new a"),
       {{"a.dll", "old a"}}},
      {"again after an older play-back moved the new file to the aside name",
       {{"x.dll", "old x"}, {"x.dll.bak", "new x"}, {std::string(kBackup) + "x.dll", "old x"}},
       HeaderLine() + FileRecord("\\x.dll", true, "new x") + AsideRecord("\\x.dll") + MovedRecord("\\x.dll"),
       {{"x.dll", "old x"}}},
      {"killed while the new file was copied over one in use",
       {{"x.dll", "new"},
        {"x.dll.bak", "old x"},
        {"UpdateTempFolder\\x.dll", "new x"},
        {std::string(kBackup) + "x.dll", "old x"}},
       HeaderLine() + FileRecord("\\x.dll", true, "new x") + AsideRecord("\\x.dll") + MovedRecord("\\x.dll"),
       {{"x.dll", "old x"}, {"x.dll.bak", kMissing}}},
      {"killed during the backup copy: the file is not touched",
       {{"big.bin", "old big"}, {std::string(kBackup) + "TorvaneCopy.partial", "old"}},
       HeaderLine() + FileRecord("\\big.bin", true, "new big"),
       {{"big.bin", "old big"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string root = UniqueFolder("recover");
    const std::string folder = root + "\\client\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    CreateDirectoryA((folder + "UpdateTempFolder").c_str(), nullptr);
    CreateDirectoryA((folder + kBackup).c_str(), nullptr);
    WriteBytes(folder + "UpdateTempFolder\\a.dll", "downloaded");
    for (const auto& [path, bytes] : c.before) {
      const std::string full = folder + path;
      CreateDirectoryA(full.substr(0, full.rfind('\\')).c_str(), nullptr);
      WriteBytes(full, bytes);
    }
    // A new file made read-only since must go all the same.
    SetFileAttributesA((folder + "n.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    std::string journal = c.journal;
    install_journal::PlacedFile identity;
    if (!c.placed.empty()) {
      ASSERT_TRUE(IdentityOf(folder + c.placed, identity));
      journal += PlacedRecord("\\" + c.placed, identity);
    }
    WriteBytes(folder + kBackup + install_journal::kFileName, journal);

    if (!c.held.empty()) {
      HeldOpen held(folder + c.held, FILE_SHARE_READ);
      RecoverInterruptedInstall(folder);
      EXPECT_TRUE(Exists(folder + kBackup + install_journal::kFileName));
    }
    for (int start = 0; start < c.startsKept; ++start) {
      RecoverInterruptedInstall(folder);
      EXPECT_TRUE(Exists(folder + kBackup + install_journal::kFileName)) << "start " << start;
    }
    RecoverInterruptedInstall(folder);

    for (const auto& [path, bytes] : c.after) EXPECT_EQ(ReadBytes(folder + path), bytes) << path;
    EXPECT_FALSE(Exists(folder + kBackup + install_journal::kFileName));
    EXPECT_FALSE(Exists(folder + "UpdateTempFolder"));
    EXPECT_FALSE(Exists(folder + "TempBackUpFolder"));
    EXPECT_FALSE(Exists(folder + "TorvaneSetAside"));
    EXPECT_EQ(Exists(folder + kKeptSet + install_journal::kFileName), c.setAside);
    // The next update's preparation is not refused.
    EXPECT_FALSE(HasUnplayedJournal(folder + "TempBackUpFolder"));
    RemoveTree(root);
  }
}

// A backup held open by another program (a scanner) cannot be moved back: it
// is copied back through a work name beside the destination, which fits at
// the longest FilePath the path rules let through and never stays.
TEST(InstallRecovery, ABackupInUseIsCopiedBackAtTheLongestPathTheRulesAllow) {
  const std::string root = UniqueFolder("recover-long");
  const std::string folder = root + "\\";
  const RunPaths paths = WorkFoldersOf(folder);
  const std::string filePath = "\\" + std::string(kMaxPathChars - paths.backupFolder.size() - 1, 'L');
  ASSERT_TRUE(install_paths::FitsPathBuffers(paths, filePath));
  ASSERT_FALSE(install_paths::FitsPathBuffers(paths, filePath + "L"));
  CreateDirectoryA(paths.backupFolder.c_str(), nullptr);
  WriteBytes(paths.exeFolder + filePath.substr(1), "new l");
  WriteBytes(paths.backupFolder + filePath, "old l");
  const std::string journal = paths.backupFolder + "\\" + install_journal::kFileName;
  WriteBytes(journal, HeaderLine() + FileRecord(filePath, true, "new l"));
  {
    HeldOpen scanner(paths.backupFolder + filePath, FILE_SHARE_READ);
    RecoverInterruptedInstall(folder);
    EXPECT_FALSE(Exists(journal));
  }
  EXPECT_EQ(ReadBytes(paths.exeFolder + filePath.substr(1)), "old l");
  RemoveWorkFolders(paths);
  EXPECT_EQ(EntriesOf(root), std::vector<std::string>{filePath.substr(1)});
  RemoveTree(root);
}

// One journal nobody can resolve per run: the kept sets stay few, and small
// but for the newest, which holds the only copy of its old files.
TEST(InstallRecovery, SetAsideJournalsStayBoundedInNumberAndSize) {
  const std::string root = UniqueFolder("recover-kept");
  const std::string folder = root + "\\";
  const RunPaths paths = WorkFoldersOf(folder);
  const std::string keptFolder = folder + install_paths::kKeptFolderName;
  // The old file of each run, as the kept sets hold them.
  auto keptOldFiles = [&] {
    std::vector<std::string> files;
    for (const std::string& set : EntriesOf(keptFolder)) {
      EXPECT_TRUE(Exists(keptFolder + "\\" + set + "\\" + install_journal::kFileName)) << set;
      files.push_back(ReadBytes(keptFolder + "\\" + set + "\\a.dll"));
    }
    std::sort(files.begin(), files.end());
    return files;
  };
  auto unresolvableRun = [&](int run, std::int64_t backupSize) {
    CreateDirectoryA(paths.backupFolder.c_str(), nullptr);
    WriteBytes(folder + "a.dll", "reinstalled");
    WriteBytes(paths.backupFolder + "\\a.dll", "old a " + std::to_string(run));
    if (backupSize > 0) GrowFile(paths.backupFolder + "\\big.bin", backupSize);
    WriteBytes(paths.backupFolder + "\\" + install_journal::kFileName,
               HeaderLine() + FileRecord("\\a.dll", true, "new a"));
    RecoverInterruptedInstall(folder);
    EXPECT_FALSE(Exists(paths.backupFolder)) << run;
    EXPECT_EQ(ReadBytes(folder + "a.dll"), "reinstalled");
  };
  std::vector<std::string> expected;
  for (int run = 0; run <= kept_journals::kMaxSets; ++run) unresolvableRun(run, 0);
  for (int run = 1; run <= kept_journals::kMaxSets; ++run) expected.push_back("old a " + std::to_string(run));
  EXPECT_EQ(keptOldFiles(), expected);
  // A set over the size bound pushes every older one out, and goes itself
  // once a newer one comes.
  const int big = kept_journals::kMaxSets + 1;
  unresolvableRun(big, static_cast<std::int64_t>(kept_journals::kMaxBytes));
  EXPECT_EQ(keptOldFiles(), std::vector<std::string>{"old a " + std::to_string(big)});
  unresolvableRun(big + 1, 0);
  EXPECT_EQ(keptOldFiles(), std::vector<std::string>{"old a " + std::to_string(big + 1)});
  RemoveTree(root);
}

// The COM servers of a failed run: the play-back unregisters the server the
// run added and registers again the one it puts back; the registry then
// points only at servers that are in place.
TEST(InstallRecovery, TheRegistryFollowsTheComServersThePlayBackPutsBack) {
  const std::string server = ReadBytes(FixturePath("com_server\\mirelo_com_server.dll"));
  ASSERT_FALSE(server.empty());
  const std::string tag = std::to_string(GetCurrentProcessId());
  const std::string added = "added" + tag + ".dll";
  const std::string replaced = "replaced" + tag + ".dll";
  const std::string root = UniqueFolder("recover-com");
  const std::string folder = root + "\\";
  CreateDirectoryA((folder + kBackup).c_str(), nullptr);
  WriteBytes(folder + added, server);
  WriteBytes(folder + replaced, server);
  WriteBytes(folder + kBackup + replaced, server);
  WriteBytes(
      folder + kBackup + install_journal::kFileName,
      HeaderLine() + FileRecord("\\" + replaced, true, server) + FileRecord("\\" + added, false, server));
  // What the failed run registered.
  constexpr char kRegisteredKey[] = "Software\\MireloTest\\ComServer";
  for (const std::string& name : {added, replaced}) {
    ASSERT_TRUE(RegisterComServer(folder + name));
    ASSERT_EQ(RegistryText(kRegisteredKey, name), "registered");
  }

  RecoverInterruptedInstall(folder);

  EXPECT_FALSE(Exists(folder + added));
  EXPECT_EQ(RegistryText(kRegisteredKey, added), "");
  EXPECT_EQ(ReadBytes(folder + replaced), server);
  EXPECT_EQ(RegistryText(kRegisteredKey, replaced), "registered");
  RegDeleteKeyValueA(HKEY_CURRENT_USER, kRegisteredKey, replaced.c_str());
  RemoveTree(root);
}

}  // namespace
