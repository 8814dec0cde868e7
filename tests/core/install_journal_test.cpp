#include "updater/core/install_journal.h"

#include <gtest/gtest.h>

#include "tests/core/legacy_journal.h"
#include "updater/base/file_list_rules.h"
#include "updater/base/manifest.h"

#include <string>
#include <vector>

using namespace install_journal;

namespace {

const std::string kSha(64, 'a');

Record File(const std::string& filePath, bool existed, std::uint64_t size = 7,
            const std::string& sha = kSha) {
  return {RecordKind::File, filePath, existed, {size, sha}};
}
Record Aside(const std::string& filePath) { return {RecordKind::Aside, filePath, false, {}}; }
Record Moved(const std::string& filePath) { return {RecordKind::Moved, filePath, false, {}}; }
Record Committed() { return {RecordKind::Committed, std::string(), false, {}}; }
Record Unfinished() { return {RecordKind::Unfinished, std::string(), false, {}}; }
Record Placed(const std::string& filePath, std::uint64_t lastWrite = 133000000000000000u) {
  return {RecordKind::Placed, filePath, false, {}, {4294967295u, 18446744073709551615u, lastWrite}};
}

std::string Written(const std::vector<Record>& records) {
  std::string bytes = HeaderLine();
  for (const Record& record : records) bytes += FormatRecord(record);
  return bytes;
}

bool SameRecords(const std::vector<Record>& a, const std::vector<Record>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].filePath != b[i].filePath || a[i].existed != b[i].existed ||
        a[i].written.size != b[i].written.size || a[i].written.digest != b[i].written.digest ||
        !(a[i].placed == b[i].placed)) {
      return false;
    }
  }
  return true;
}

// "中文" in code page 936, and a double-byte character whose trail byte is 0x5C.
const std::string kChinese = "\xd6\xd0\xce\xc4";
const std::string kTrailBackslash = "\x81\x5c";

const std::vector<Record> kRun = {
    File("\\a.dll", true, 0),
    Placed("\\a.dll", 0),
    File("\\new\\" + kChinese + ".dll", false, 18446744073709551615u, std::string(64, 'f')),
    File("\\dir" + kTrailBackslash + "x.ocx", true),
    Aside("\\dir" + kTrailBackslash + "x.ocx"),
    Moved("\\dir" + kTrailBackslash + "x.ocx"),
    File("\\name with spaces.txt", true),
    Unfinished(),
    Committed(),
};

}  // namespace

TEST(InstallJournal, EveryPrefixOfAJournalReadsAsItsWholeRecords) {
  // A run killed while writing leaves any prefix of what it meant to write:
  // exactly the records whose line is complete are read.
  const std::string bytes = Written(kRun);
  std::vector<std::size_t> lineEnds = {HeaderLine().size()};
  for (const Record& record : kRun) lineEnds.push_back(lineEnds.back() + FormatRecord(record).size());
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    const Journal journal = ParseJournal(bytes.substr(0, cut));
    std::size_t whole = 0;
    while (whole < lineEnds.size() && lineEnds[whole] <= cut) ++whole;
    EXPECT_EQ(journal.ours, whole >= 1) << cut;
    const std::vector<Record> expected(kRun.begin(), kRun.begin() + (whole == 0 ? 0 : whole - 1));
    EXPECT_TRUE(SameRecords(journal.records, expected)) << "cut at " << cut;
  }
}

TEST(InstallJournal, WhatIsNotOursOrNotWholeIsNotTrusted) {
  const std::string good = FormatRecord(File("\\good.dll", true));
  const std::string after = FormatRecord(File("\\after.dll", true));
  // Records that are well signed but name what no run of ours would name.
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::string> paths;
  };
  const Case cases[] = {
      {"no header", good, {}},
      {"another header", "torvane-install-journal 3\n" + good, {}},
      {"empty", "", {}},
      {"zeros after a power cut",
       HeaderLine() + good + std::string(64, '\0') + after,
       {"\\good.dll", "\\after.dll"}},
      {"checksum off by one digit",
       HeaderLine() + good.substr(0, good.size() - 2) + "x\n" + after,
       {"\\after.dll"}},
      {"a record cut short, then more", HeaderLine() + good.substr(0, 9) + after, {"\\after.dll"}},
      {"size not a number",
       HeaderLine() + "\n" + LegacyJournalLine("file\t1\t\\x.dll\t7x\t" + kSha) + after,
       {"\\after.dll"}},
      {"size past 64 bits",
       HeaderLine() + "\n" + LegacyJournalLine("file\t1\t\\x.dll\t18446744073709551616\t" + kSha) + after,
       {"\\after.dll"}},
      {"size with a leading zero",
       HeaderLine() + "\n" + LegacyJournalLine("file\t1\t\\x.dll\t07\t" + kSha) + after,
       {"\\after.dll"}},
      {"a well formed record as a check",
       HeaderLine() + "\n" + LegacyJournalLine("file\t1\t\\x.dll\t7\t" + kSha) + after,
       {"\\x.dll", "\\after.dll"}},
      {"digest in capitals",
       HeaderLine() + FormatRecord(File("\\x.dll", true, 1, std::string(64, 'A'))) + after,
       {"\\after.dll"}},
      {"no digest",
       HeaderLine() + FormatRecord(File("\\x.dll", true, 1, "")) + after,
       {"\\x.dll", "\\after.dll"}},
      {"digest cut short",
       HeaderLine() + FormatRecord(File("\\x.dll", true, 1, "ab")) + after,
       {"\\after.dll"}},
      {"first version",
       HeaderLine(1) + LegacyJournalLine("file\t1\t\\old.dll") + LegacyJournalLine("moved\t\\old.dll"),
       {"\\old.dll", "\\old.dll"}},
      {"first version, a line cut short, then more",
       HeaderLine(1) + LegacyJournalLine("file\t1\t\\x.dll").substr(0, 9) + "\n" +
           LegacyJournalLine("file\t1\t\\y.dll"),
       {}},
      {"first version with a later record", HeaderLine(1) + good, {}},
      {"outside the folder",
       HeaderLine() + FormatRecord(File("\\..\\outside.dll", true)) + after,
       {"\\after.dll"}},
      {"absolute path",
       HeaderLine() + FormatRecord(File("C:\\windows\\x.dll", false)) + after,
       {"\\after.dll"}},
      {"a work folder",
       HeaderLine() + FormatRecord(File("\\TempBackUpFolder\\x", false)) + after,
       {"\\after.dll"}},
      {"the journal itself",
       HeaderLine() + FormatRecord(File("\\TorvaneInstall.journal", false)) + after,
       {"\\after.dll"}},
      {"a field too many", HeaderLine() + FormatRecord(Aside("\\x.dll\textra")) + after, {"\\after.dll"}},
      {"CR LF line end", HeaderLine() + FormatRecord(File("\\x.dll\r", true)) + after, {"\\after.dll"}},
      {"a placed record", HeaderLine() + FormatRecord(Placed("\\x.dll")) + after, {"\\x.dll", "\\after.dll"}},
      {"a placed record with a volume past 32 bits",
       HeaderLine() + "\n" + LegacyJournalLine("placed\t\\x.dll\t4294967296\t1\t1") + after,
       {"\\after.dll"}},
      {"a placed record in a first version journal",
       HeaderLine(1) + LegacyJournalLine("placed\t\\x.dll\t1\t1\t1") + LegacyJournalLine("file\t1\t\\y.dll"),
       {"\\y.dll"}},
      {"network path",
       HeaderLine() + FormatRecord(File("\\\\server\\share\\x", false)) + after,
       {"\\after.dll"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> paths;
    for (const Record& record : ParseJournal(c.bytes).records) paths.push_back(record.filePath);
    EXPECT_EQ(paths, c.paths) << c.what;
  }
}

TEST(InstallJournal, ThePlanRestoresEachDestinationOnceFromItsFirstRecordLatestFirst) {
  struct Step {
    std::string filePath;
    bool existed, asideStarted, moved, knowsWritten;
    std::vector<std::uint64_t> sizes;
    std::size_t placed = 0;
    bool placedRecorded = false;
  };
  struct Case {
    const char* what;
    std::vector<Record> records;
    bool committed;
    std::vector<Step> steps;
    int unfinishedStarts = 0;
  };
  const Case cases[] = {
      {"nothing touched yet", {}, false, {}},
      {"two files",
       {File("\\a.dll", true, 1), File("\\n.dll", false, 2)},
       false,
       {{"\\n.dll", false, false, false, true, {2}}, {"\\a.dll", true, false, false, true, {1}}}},
      {"committed", {File("\\a.dll", true), File("\\n.dll", false), Committed()}, true, {}},
      {"aside announced",
       {File("\\x.dll", true), Aside("\\x.dll")},
       false,
       {{"\\x.dll", true, true, false, true, {7}}}},
      {"aside done",
       {File("\\x.dll", true), Aside("\\x.dll"), Moved("\\x.dll")},
       false,
       {{"\\x.dll", true, true, true, true, {7}}}},
      {"listed again in other letters: the first record counts, a later aside holds a new file, either new "
       "file is the run's",
       {File("\\c.dll", false, 1), File("\\C.DLL", true, 2), Aside("\\C.DLL"), Moved("\\C.DLL")},
       false,
       {{"\\c.dll", false, false, false, true, {1, 2}}}},
      {"listed again in other fullwidth letters (GBK): one file on Windows",
       {File("\\\xA3\xE1.dll", false, 1), File("\\\xA3\xC1.dll", true, 2)},
       false,
       {{"\\\xA3\xE1.dll", false, false, false, true, {1, 2}}}},
      {"no digest could be taken: what the run wrote is not known",
       {File("\\v2.dll", true, 3, "")},
       false,
       {{"\\v2.dll", true, false, false, false, {}}}},
      {"first version: what the run wrote is not known",
       {File("\\v1.dll", true, 0, "")},
       false,
       {{"\\v1.dll", true, false, false, false, {}}}},
      {"aside without its file record", {Aside("\\x.dll"), Moved("\\x.dll")}, false, {}},
      {"placed, then listed again and not yet placed",
       {File("\\p.dll", true, 1), Placed("\\p.dll"), Placed("\\q.dll"), File("\\P.DLL", true, 2)},
       false,
       {{"\\p.dll", true, false, false, true, {1, 2}, 1, false}}},
      {"starts that could not finish it are counted, the steps stay",
       {File("\\a.dll", true, 1), Unfinished(), Unfinished()},
       false,
       {{"\\a.dll", true, false, false, true, {1}}},
       2},
      {"placed twice",
       {File("\\p.dll", true, 1), Placed("\\p.dll"), Placed("\\P.dll", 1)},
       false,
       {{"\\p.dll", true, false, false, true, {1}, 2, true}}},
  };
  for (const Case& c : cases) {
    Journal journal;
    journal.ours = true;
    journal.records = c.records;
    const PlayBackPlan plan = MakePlayBackPlan(journal);
    EXPECT_EQ(plan.committed, c.committed) << c.what;
    EXPECT_EQ(plan.unfinishedStarts, c.unfinishedStarts) << c.what;
    ASSERT_EQ(plan.steps.size(), c.steps.size()) << c.what;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      EXPECT_EQ(plan.steps[i].filePath, c.steps[i].filePath) << c.what;
      EXPECT_EQ(plan.steps[i].existed, c.steps[i].existed) << c.what;
      EXPECT_EQ(plan.steps[i].asideStarted, c.steps[i].asideStarted) << c.what;
      EXPECT_EQ(plan.steps[i].moved, c.steps[i].moved) << c.what;
      EXPECT_EQ(plan.steps[i].knowsWritten, c.steps[i].knowsWritten) << c.what;
      std::vector<std::uint64_t> sizes;
      for (const NewFile& written : plan.steps[i].written) sizes.push_back(written.size);
      EXPECT_EQ(sizes, c.steps[i].sizes) << c.what;
      EXPECT_EQ(plan.steps[i].placed.size(), c.steps[i].placed) << c.what;
      EXPECT_EQ(plan.steps[i].placedRecorded, c.steps[i].placedRecorded) << c.what;
    }
  }
}

// The most files an install takes, each with its longest records, still
// leave the commit within what a later start reads: a completed run is
// never taken for an unfinished one and partly rolled back.
TEST(InstallJournal, TheLongestInstallStillHasItsCommitRead) {
  const std::string path = "\\" + std::string(manifest::kFilePathLimit - 1, 'p');
  std::string bytes = HeaderLine();
  for (std::size_t i = 0; i < file_list_rules::kMaxInstallFiles; ++i) {
    for (const Record& record : {File(path, true, UINT64_MAX), Placed(path, UINT64_MAX), Aside(path), Moved(path)})
      bytes += FormatRecord(record);
  }
  bytes += FormatRecord(Committed());
  EXPECT_LE(bytes.size(), kMaxReadBytes);
  EXPECT_TRUE(MakePlayBackPlan(ParseJournal(bytes.substr(0, kMaxReadBytes))).committed);
}
