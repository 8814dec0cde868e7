// The publisher tool's lint: each fault at its section and key, warnings for
// what the updater ignores, the installed view, and the updater's limits.

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tools/publish/manifest_lint.h"
#include "updater/base/manifest.h"
#include "updater/base/update_limits.h"
#include "updater/core/install_journal.h"
#include "tests/publish/publish_test_files.h"


namespace publish {
namespace {

struct LintCase {
  const char* name;
  const char* from;
  std::string to;
  const char* section;
  const char* key;
};

TEST(LintTest, CleanManifestHasNoFinding) {
  const LintResult result = LintManifest(kCleanManifest, true);
  EXPECT_TRUE(result.findings.empty()) << result.findings.front().message;
  EXPECT_EQ(result.files.size(), 3u);
}

TEST(LintTest, EachFaultIsReportedWithItsSectionAndKey) {
  const std::string longPath = "\\" + std::string(127, 'p');
  const std::string longUrl = "http://h/" + std::string(251, 'u');
  const LintCase cases[] = {
      {"no CurrentVersionTime", "CurrentVersionTime=300\r\n", "", "Root", "CurrentVersionTime"},
      {"no VersionCount", "VersionCount=3\r\n", "", "Root", "VersionCount"},
      {"no CurrentVersionNum", "CurrentVersionNum=v3\r\n", "", "Root", "CurrentVersionNum"},
      {"list shorter than its count", "ver2=300\r\n", "", "Root", "ver2"},
      {"current is not the last entry", "CurrentVersionTime=300", "CurrentVersionTime=200", "Root",
       "CurrentVersionTime"},
      {"a version listed twice", "ver1=200\r\nver2=300\r\n[200]",
       "ver1=100\r\nver2=300\r\n[100]\r\nFileCount=0\r\n[200]", "Root", "ver1"},
      {"a version with a leading zero", "ver0=100", "ver0=0100", "Root", "ver0"},
      {"a listed section missing", "[300]", "[301]", "300", ""},
      {"no FileCount", "FileCount=1\r\n", "", "300", "FileCount"},
      {"fewer files than the count", "FileCount=1", "FileCount=2", "300", "FilePath1"},
      {"no FileUrl", "FileUrl0=http://h/300/b.ocx\r\n", "", "300", "FileUrl0"},
      {"FilePath cut by the limit", "FilePath0=\\a.dll", "FilePath0=" + longPath, "200", "FilePath0"},
      {"FileUrl cut by the limit", "FileUrl0=http://h/200/a.dll", "FileUrl0=" + longUrl, "200", "FileUrl0"},
      {"FilePath outside the folder", "FilePath0=\\a.dll", "FilePath0=\\..\\a.dll", "200", "FilePath0"},
      {"FilePath naming a device", "FilePath0=\\a.dll", "FilePath0=\\sub\\NUL.txt", "200", "FilePath0"},
      {"MD5 of 31 digits", "FileHashID0=0123456789abcdef0123456789abcdef",
       "FileHashID0=0123456789abcdef0123456789abcde", "200", "FileHashID0"},
      {"SHA-256 not hex", "FileSha2561=B", "FileSha2561=G", "200", "FileSha2561"},
      {"signed manifest, file without SHA-256", "FileSha2560=cccc", "FileSha256x=cccc", "300", "FileSha2560"},
      {"not an HTTP URL", "FileUrl0=http://h/300/b.ocx", "FileUrl0=ftp://h/300/b.ocx", "300", "FileUrl0"},
      {"a .bz2 URL", "FileUrl0=http://h/300/b.ocx", "FileUrl0=http://h/300/b.bz2", "300", "FileUrl0"},
  };
  for (const LintCase& c : cases) {
    const LintResult result = LintManifest(Replaced(kCleanManifest, c.from, c.to), true);
    std::vector<const Finding*> errors;
    for (const Finding& f : result.findings) {
      if (f.severity == Severity::kError) errors.push_back(&f);
    }
    ASSERT_EQ(errors.size(), 1u) << c.name << (errors.empty() ? "" : ": " + errors[0]->message);
    EXPECT_EQ(errors[0]->section, c.section) << c.name;
    EXPECT_EQ(errors[0]->key, c.key) << c.name << ": " << errors[0]->message;
  }
}

TEST(LintTest, WhatTheUpdaterIgnoresOrMayMisnameIsAWarning) {
  const LintCase cases[] = {
      {"a list entry beyond the count", "ver2=300\r\n", "ver2=300\r\nver3=400\r\n", "Root", "ver3"},
      {"a FilePath twice in a release", "FilePath1=\\codec\\b.ocx", "FilePath1=\\a.dll", "200", "FilePath1"},
      {"a FilePath saved as UTF-8", "FilePath0=\\a.dll", "FilePath0=\\\xE4\xB8\xAD\xE6\x96\x87.dll", "200",
       "FilePath0"},
      {"unsigned manifest, file without SHA-256", "FileSha2560=cccc", "FileSha256x=cccc", "300",
       "FileSha2560"},
  };
  for (const LintCase& c : cases) {
    const LintResult result = LintManifest(Replaced(kCleanManifest, c.from, c.to), false);
    ASSERT_EQ(result.findings.size(), 1u)
        << c.name << (result.findings.empty() ? "" : ": " + result.findings[0].message);
    EXPECT_EQ(result.findings[0].severity, Severity::kWarning) << c.name;
    EXPECT_EQ(result.findings[0].section, c.section) << c.name;
    EXPECT_EQ(result.findings[0].key, c.key) << c.name << ": " << result.findings[0].message;
  }
}

TEST(LintTest, InstalledViewFollowsTheUpdatersMerge) {
  struct Case {
    int32_t installed;
    bool runs;
    std::vector<std::string> releases;
    std::map<std::string, std::string> sha256s;  // FilePath -> first letter of its digest
  } cases[] = {
      {100, true, {"200", "300"}, {{"\\a.dll", "a"}, {"\\codec\\b.ocx", "c"}}},
      {200, true, {"300"}, {{"\\codec\\b.ocx", "c"}}},
      {300, false, {}, {}},
      {150, false, {}, {}},
  };
  // Release 300 lists b.ocx without a SHA-256 here: the digest of 200 stays.
  const std::string noLaterDigest = Replaced(kCleanManifest, "FileSha2560=cccc", "FileSha256x=cccc");
  for (const Case& c : cases) {
    const InstalledView view = ViewForInstalled(kCleanManifest, c.installed);
    EXPECT_EQ(view.runs, c.runs) << c.installed << ": " << view.outcome;
    EXPECT_EQ(view.releases, c.releases) << c.installed;
    std::map<std::string, std::string> shas;
    for (const auto& [path, digest] : view.sha256s) shas[path] = digest.substr(0, 1);
    EXPECT_EQ(shas, c.sha256s) << c.installed;
  }
  const InstalledView kept = ViewForInstalled(noLaterDigest, 100);
  ASSERT_TRUE(kept.sha256s.Find("\\codec\\b.ocx"));
  EXPECT_EQ(kept.sha256s.Find("\\codec\\b.ocx")->substr(0, 1), "B");
  EXPECT_EQ(*kept.urls.Find("\\codec\\b.ocx"), "http://h/300/b.ocx");
}

TEST(UpdateLimitsTest, TheManifestCannotAskForMoreThanTheUpdaterTakes) {
  const std::string root = "[Root]\r\nVersionCount=2\r\nCurrentVersionTime=200\r\nCurrentVersionNum=200\r\n"
                           "ver0=100\r\nver1=200\r\n[200]\r\n";
  auto entries = [](std::size_t count, std::size_t from) {
    std::string text = "FileCount=" + std::to_string(from + count) + "\r\n";
    for (std::size_t i = from; i < from + count; ++i) {
      const std::string n = std::to_string(i);
      text += "FilePath" + n + "=\\f" + n + "\r\nFileUrl" + n + "=http://h/" + n + "\r\n";
    }
    return text;
  };
  // (name, manifest, words of the error; empty: none)
  const std::tuple<const char*, std::string, const char*> cases[] = {
      {"small", root + entries(3, 0), ""},
      {"over the read limit",
       root + entries(3, 0) + "; " + std::string(update_limits::kManifestMaxBytes, 'x') + "\r\n", "reads at most"},
      {"as many files as one update installs", root + entries(update_limits::kMaxFilesPerUpdate, 0), ""},
      {"one file more", root + entries(update_limits::kMaxFilesPerUpdate + 1, 0), "install journal"},
      {"a name and its backup name", root + "FileCount=2\r\nFilePath0=\\a.dll\r\nFileUrl0=http://h/0\r\n"
                                        "FilePath1=\\A.DLL.bak\r\nFileUrl1=http://h/1\r\n", "backup"},
  };
  for (const auto& [name, manifest, words] : cases) {
    LintResult result;
    LintLimits(manifest, result);
    std::string messages;
    for (const Finding& finding : result.findings) messages += finding.message + "\n";
    EXPECT_EQ(result.HasErrors(), *words != '\0') << name << ": " << messages;
    EXPECT_NE(messages.find(words), std::string::npos) << name << ": " << messages;
  }
  // A manifest already served that lists one file under two spellings is warned of, not refused.
  const LintResult served = LintManifest(root + "FileCount=2\r\nFilePath0=\\a.dll\r\nFileUrl0=http://h/0\r\n"
                                                "FilePath1=\\A.DLL\r\nFileUrl1=http://h/1\r\n", false);
  std::size_t spellings = 0;
  for (const Finding& finding : served.findings) {
    if (finding.message.find("one file on Windows") == std::string::npos) continue;
    ++spellings;
    EXPECT_EQ(finding.severity, Severity::kWarning) << finding.message;
  }
  EXPECT_EQ(spellings, 1u);
  // The journal's share per file holds the longest records a file can leave.
  const std::string longest(manifest::kFilePathLimit, 'x');
  std::size_t bytes = 0;
  for (install_journal::RecordKind kind : {install_journal::RecordKind::File, install_journal::RecordKind::Placed,
                                           install_journal::RecordKind::Aside, install_journal::RecordKind::Moved}) {
    install_journal::Record record{kind, longest, true, {UINT64_MAX, std::string(64, 'f')},
                                   {UINT32_MAX, UINT64_MAX, UINT64_MAX}};
    bytes += install_journal::FormatRecord(record).size();
  }
  EXPECT_LE(bytes, update_limits::kJournalBytesPerFile);
}

}  // namespace
}  // namespace publish
