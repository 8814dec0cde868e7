// The publisher tool's library: releases read back through the updater's own
// readers, lint findings, and signatures.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "tools/publish/gbk_text.h"
#include "tools/publish/input_checks.h"
#include "tools/publish/manifest_lint.h"
#include "tools/publish/publish_crypto.h"
#include "tools/publish/publish_files.h"
#include "tools/publish/release_builder.h"
#include "tools/publish/signature_file.h"
#include "tools/publish/signed_pair.h"
#include "tools/publish/signing_plan.h"
#include "updater/base/file_name_case.h"
#include "updater/base/manifest.h"
#include "updater/base/update_limits.h"
#include "updater/core/install_journal.h"

namespace publish {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "publish-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string operator/(const std::string& relative) const { return (fs::path(path_) / relative).string(); }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& data) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

std::string ReadFile(const std::string& path) { return ReadWholeFile(path).value_or("<missing>"); }

std::string Sha256Hex(const std::string& data) { return HexText(Sha256(data)); }

// FilePath -> contents of the files a client at installed would get, with
// both digests checked against the contents served under servedRoot.
std::map<std::string, std::string> InstalledFiles(const std::string& manifest, int32_t installed,
                                                  const std::string& baseUrl, const std::string& servedRoot) {
  const InstalledView view = ViewForInstalled(manifest, installed);
  EXPECT_TRUE(view.runs) << view.outcome;
  std::map<std::string, std::string> files;
  for (const auto& [filePath, url] : view.urls) {
    EXPECT_EQ(url.rfind(baseUrl, 0), 0u) << url;
    // The server maps URL bytes back to file names; only %XX escapes are used.
    std::string relative;
    for (std::size_t i = baseUrl.size(); i < url.size(); ++i) {
      if (url[i] == '%') {
        relative += static_cast<char>(std::stoi(url.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        relative += url[i];
      }
    }
    const std::string data = ReadFile(servedRoot + "/" + relative);
    const std::string* md5 = view.md5s.Find(filePath);
    const std::string* sha = view.sha256s.Find(filePath);
    EXPECT_TRUE(md5 && sha) << filePath;
    if (md5 && sha) {
      const auto digests = DigestFile(servedRoot + "/" + relative);
      EXPECT_EQ(*md5, digests->md5) << filePath;
      EXPECT_EQ(*sha, Sha256Hex(data)) << filePath;
    }
    files[filePath] = data;
  }
  return files;
}

TEST(ReleaseTest, TwoReleasesReadBackThroughTheUpdatersReaders) {
  TempDir dir;
  const std::string manifestPath = dir / "HistoryVersionList.cfg";
  const std::string baseUrl = "http://updates.example/files/";
  WriteFile(dir / "v100/same.txt", "same");
  WriteFile(dir / "v100/changed.dll", "old");
  WriteFile(dir / "v100/gone.txt", "gone");
  WriteFile(dir / "v200/same.txt", "same");
  WriteFile(dir / "v200/changed.dll", "new");
  WriteFile(dir / "v200/sub/dir/nested.bin", std::string("nested\0bytes", 12));
  WriteFile(dir / "v200/中文.txt", "gbk name");

  ReleaseOptions options{manifestPath,   "200", dir / "v100", dir / "v200", baseUrl,
                         dir / "served", "",    "100",        false,        {}};
  ReleasePlan plan = PlanRelease(options);
  ASSERT_TRUE(plan.errors.empty()) << plan.errors.front();
  ASSERT_EQ(plan.warnings.size(), 1u);
  EXPECT_NE(plan.warnings[0].find("gone.txt"), std::string::npos);
  std::string error;
  ASSERT_TRUE(CommitRelease(options, plan, nullptr, error)) << error;

  const std::string gbkName = "\\\xD6\xD0\xCE\xC4.txt";
  const std::map<std::string, std::string> first{{"\\changed.dll", "new"},
                                                 {"\\sub\\dir\\nested.bin", std::string("nested\0bytes", 12)},
                                                 {gbkName, "gbk name"}};
  const std::string firstManifest = ReadFile(manifestPath);
  EXPECT_EQ(InstalledFiles(firstManifest, 100, baseUrl, dir / "served"), first);
  EXPECT_NE(firstManifest.find("FileUrl2=" + baseUrl + "200/%E4%B8%AD%E6%96%87.txt\r\n"), std::string::npos)
      << firstManifest;

  // A line the publisher added by hand stays where it was.
  WriteFile(manifestPath, firstManifest + "\r\n; hand-written note\r\n");
  const std::string handEdited = ReadFile(manifestPath);
  WriteFile(dir / "v300/same.txt", "same");
  WriteFile(dir / "v300/changed.dll", "newer");
  WriteFile(dir / "v300/sub/dir/nested.bin", std::string("nested\0bytes", 12));
  WriteFile(dir / "v300/中文.txt", "gbk name");
  WriteFile(dir / "v300/extra.txt", "extra");
  ReleaseOptions second{manifestPath,   "300",        dir / "v200", dir / "v300", baseUrl,
                        dir / "served", "3.0 正式版", "",           false,        {}};
  plan = PlanRelease(second);
  ASSERT_TRUE(plan.errors.empty()) << plan.errors.front();
  EXPECT_TRUE(plan.warnings.empty());
  ASSERT_TRUE(CommitRelease(second, plan, nullptr, error)) << error;

  const std::string secondManifest = ReadFile(manifestPath);
  const std::string oldSections = handEdited.substr(handEdited.find("[200]"));
  EXPECT_NE(secondManifest.find(oldSections), std::string::npos) << secondManifest;
  EXPECT_NE(secondManifest.find("CurrentVersionNum=3.0 \xD5\xFD\xCA\xBD\xB0\xE6\r\n"), std::string::npos);
  std::map<std::string, std::string> merged = first;
  merged["\\changed.dll"] = "newer";
  merged["\\extra.txt"] = "extra";
  EXPECT_EQ(InstalledFiles(secondManifest, 100, baseUrl, dir / "served"), merged);
  EXPECT_EQ(InstalledFiles(secondManifest, 200, baseUrl, dir / "served"),
            (std::map<std::string, std::string>{{"\\changed.dll", "newer"}, {"\\extra.txt", "extra"}}));
  const LintResult lint = LintManifest(secondManifest, false);
  EXPECT_TRUE(lint.findings.empty()) << lint.findings.front().message;
  EXPECT_EQ(lint.versions, (std::vector<std::string>{"100", "200", "300"}));
}

// A manifest with one fault of each kind. The base is clean; each case changes
// one text and must give exactly that error.
const char kCleanManifest[] =
    "[Root]\r\n"
    "DownloadUrl=http://example.invalid/\r\n"
    "VersionCount=3\r\n"
    "CurrentVersionTime=300\r\n"
    "CurrentVersionNum=v3\r\n"
    "ver0=100\r\nver1=200\r\nver2=300\r\n"
    "[200]\r\n"
    "FileCount=2\r\n"
    "FilePath0=\\a.dll\r\nFileUrl0=http://h/200/a.dll\r\n"
    "FileHashID0=0123456789abcdef0123456789abcdef\r\n"
    "FileSha256=unused\r\n"
    "FileSha2560=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n"
    "FilePath1=\\codec\\b.ocx\r\nFileUrl1=http://h/200/b.ocx\r\n"
    "FileHashID1=0123456789ABCDEF0123456789ABCDEF\r\n"
    "FileSha2561=BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB\r\n"
    "[300]\r\n"
    "FileCount=1\r\n"
    "FilePath0=\\codec\\b.ocx\r\nFileUrl0=http://h/300/b.ocx\r\n"
    "FileSha2560=cccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccc\r\n";

struct LintCase {
  const char* name;
  const char* from;
  std::string to;
  const char* section;
  const char* key;
};

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

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

TEST(SignatureTest, TwoKeysSignAndVerifyOnlyTheirOwnManifest) {
  TempDir dir;
  std::string error;
  ASSERT_TRUE(GenerateKeyPair(dir / "one.pem", dir / "one.pub", error)) << error;
  ASSERT_TRUE(GenerateKeyPair(dir / "two.pem", dir / "two.pub", error)) << error;
  struct stat st {};
  ASSERT_EQ(::stat((dir / "one.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(GenerateKeyPair(dir / "one.pem", dir / "three.pub", error));
  EXPECT_NE(ReadFile(dir / "one.pem").find("PRIVATE KEY"), std::string::npos);

  const Pkey one = LoadPrivateKey(dir / "one.pem", error);
  const Pkey two = LoadPrivateKey(dir / "two.pem", error);
  const Pkey onePublic = LoadPublicKey(dir / "one.pub", error);
  const Pkey twoPublic = LoadPublicKey(dir / "two.pub", error);
  ASSERT_TRUE(one && two && onePublic && twoPublic) << error;
  EXPECT_FALSE(LoadPublicKey(dir / "one.pem", error));
  EXPECT_EQ(KeyId(one.get()), KeyId(onePublic.get()));
  EXPECT_NE(KeyId(one.get()), KeyId(two.get()));
  EXPECT_EQ(KeyId(one.get()).find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(KeyId(one.get()).size(), 16u);

  const std::string manifest = kCleanManifest;
  std::vector<SignatureEntry> entries;
  ASSERT_TRUE(ParseSignatureFile(
      FormatSignatureFile({SignManifest(one.get(), manifest), SignManifest(two.get(), manifest)}), entries,
      error))
      << error;
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].value.size(), 128u);
  // Whether a client built with keys accepts manifest under these sections.
  const auto accepts = [&](const std::vector<SignatureEntry>& sections, std::vector<EVP_PKEY*> keys,
                           const std::string& text) {
    return UpdaterAccepts(FormatSignatureFile(sections), keys, text);
  };
  EXPECT_TRUE(accepts(entries, {onePublic.get()}, manifest));
  EXPECT_TRUE(accepts(entries, {twoPublic.get()}, manifest));
  EXPECT_FALSE(accepts({entries[0]}, {twoPublic.get()}, manifest));
  int keyIndex = -1;
  EXPECT_TRUE(UpdaterAccepts(FormatSignatureFile({entries[1]}), {onePublic.get(), twoPublic.get()}, manifest,
                             &keyIndex));
  EXPECT_EQ(keyIndex, 1);

  std::string changed = manifest;
  changed[changed.size() / 2] ^= 1;
  EXPECT_FALSE(accepts(entries, {onePublic.get(), twoPublic.get()}, changed));
  // Each byte of r and of s counts.
  for (std::size_t digit : {0u, 64u, 127u}) {
    std::vector<SignatureEntry> flipped = entries;
    flipped[0].value[digit] = flipped[0].value[digit] == '0' ? '1' : '0';
    EXPECT_FALSE(accepts({flipped[0]}, {onePublic.get()}, manifest)) << digit;
  }
  // A section naming another key is not tried with this one.
  std::vector<SignatureEntry> otherId = {entries[0]};
  otherId[0].keyId = KeyId(two.get());
  EXPECT_FALSE(accepts(otherId, {onePublic.get(), twoPublic.get()}, manifest));
}

TEST(SignatureTest, MalformedSignatureFilesAreRefused) {
  const std::string section =
      "[Signature0]\r\nAlgorithm=ECDSA-P256-SHA256\r\nKeyId=0011223344556677\r\nValue=" +
      std::string(128, 'a') + "\r\n";
  struct {
    const char* name;
    std::string text;
    bool parses;
  } cases[] = {
      {"one section", section, true},
      {"section 3 only", Replaced(section, "Signature0", "Signature3"), true},
      {"no section", "[Other]\r\nKeyId=1\r\n", false},
      {"a section without Value", Replaced(section, "Value=", "Valeur="), false},
      {"5 KiB", section + "; " + std::string(5 * 1024, 'x') + "\r\n", false},
  };
  for (const auto& c : cases) {
    std::vector<SignatureEntry> entries;
    std::string error;
    EXPECT_EQ(ParseSignatureFile(c.text, entries, error), c.parses) << c.name << ": " << error;
  }
}

TEST(SigningPlanTest, StampSetsExpiryAndTheNextSerialKeepingEveryOtherLine) {
  // (manifest, --serial, serial written; empty: refused, nothing stamped)
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"[Root]\r\nVersionCount=2\r\n; note\r\n[200]\r\nFileCount=0\r\n", "", "1"},
      {"[Root]\r\nSerial=41\r\nVersionCount=2\r\n", "", "42"},
      {"[Root]\r\nSerial=junk\r\n", "", ""},
      {"[Root]\r\nSerial=junk\r\n", "77", "77"},
      {"[Root]\r\nVersionCount=2\r\n", "500", "500"},
      {"[Root]\r\nSerial=41\r\n", "41", ""},
      {"[Root]\r\nSerial=41\r\n", "90", "90"},
      {"[Root]\r\nVersionCount=2\r\n", "0", ""},
      {"[Root]\r\nSerial=9999999999999999999\r\n", "", ""},
  };
  for (const auto& [manifest, first, serial] : cases) {
    std::string error;
    const auto stamped = StampManifest(manifest, 1803859200, 86400, first, error);
    ASSERT_EQ(stamped.has_value(), !serial.empty()) << manifest << first << error;
    if (!stamped) continue;
    EXPECT_EQ(ReadManifestStamp(*stamped).expires, "2027-03-02T00:00:00Z") << manifest;
    EXPECT_EQ(ReadManifestStamp(*stamped).serial, serial) << manifest;
    for (const char* kept : {"; note\r\n", "[200]\r\nFileCount=0\r\n", "VersionCount=2\r\n"}) {
      EXPECT_EQ(stamped->find(kept) == std::string::npos, manifest.find(kept) == std::string::npos) << kept;
    }
  }
  // (--expires, seconds when it parses, refused without --force)
  const std::tuple<const char*, int64_t, bool> durations[] = {
      {"90d", 90 * 86400, false}, {"36h", 36 * 3600, false},   {"2w", 14 * 86400, false},
      {"1d", 86400, false},       {"24h", 86400, false},       {"23h", 23 * 3600, true},
      {"730d", 730 * 86400, false}, {"731d", 731 * 86400, true}, {"400000w", 400000 * 7 * 86400LL, true},
      {"30", 0, true},            {"45s", 0, true},            {"6m", 0, true},
      {"0d", 0, true},            {"d", 0, true},              {"-1d", 0, true},
      {"1y", 0, true},
  };
  for (const auto& [text, seconds, needsForce] : durations) {
    int64_t parsed = 0;
    EXPECT_EQ(ParseDuration(text, parsed), seconds != 0) << text;
    if (seconds != 0) EXPECT_EQ(parsed, seconds) << text;
    EXPECT_EQ(ExpiresProblem(text, false).empty(), !needsForce) << text;
    EXPECT_EQ(ExpiresProblem(text, true).empty(), seconds != 0) << text;
  }
}

TEST(InputChecksTest, BaseUrlNeedsAHostAndNoQueryOrFragment) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://updates.example.com/", ""},
      {"https://h:8443/a/b", ""},
      {"http:///u", "no host"},
      {"http://", "parse"},
      {"ftp://h/", "http or https"},
      {"http://h/u?x=1", "query"},
      {"http://h/u#top", "fragment"},
      {"http://user@h/", "user name"},
  };
  for (const auto& [url, words] : cases) {
    const std::string problem = BaseUrlProblem(url);
    if (*words == '\0') {
      EXPECT_EQ(problem, "") << url;
    } else {
      EXPECT_NE(problem.find(words), std::string::npos) << url << ": " << problem;
    }
  }
}

TEST(FileNameCaseTest, NamesFoldAsWindowsComparesThem) {
  // (name, other spelling, one file on Windows)
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"Halvix.exe", "HALVIX.EXE", true},
      {"\xEF\xBC\xA1.txt", "\xEF\xBD\x81.txt", true},      // fullwidth A / a
      {"\xD0\x94.txt", "\xD0\xB4.txt", true},                // Cyrillic De
      {"\xCE\xA3.dll", "\xCF\x83.dll", true},                // Sigma / sigma
      {"\xCE\xA3.dll", "\xCF\x82.dll", true},                // Sigma / final sigma
      {"\xC3\x9F.txt", "SS.txt", false},                     // sharp s has no one-unit capital
      {"\xC4\xB1.txt", "I.txt", false},                      // dotless i stays
      {"\xC5\xBF.txt", "S.txt", false},                      // long s stays
      {"\xE1\x83\x90.txt", "\xE1\xB2\x90.txt", false},      // Georgian: no capital in the table
      {"\xF0\x90\x90\xA8.txt", "\xF0\x90\x90\x80.txt", false},  // outside the BMP: no case
      {"\xE4\xB8\xAD.txt", "\xE4\xB8\xAD.TXT", true},
      {"a\xFF.txt", "A\xFF.txt", true},                      // not UTF-8: bytes kept
  };
  for (const auto& [name, other, same] : cases) {
    EXPECT_EQ(file_name_case::FoldUtf8(name) == file_name_case::FoldUtf8(other), same) << name << " " << other;
  }
  EXPECT_EQ(file_name_case::Fold(u"abc\u00E9\u03C3"), u"ABC\u00C9\u03A3");
}

// The updater folds GBK names without decoding them; every double-byte
// character must fold as its Unicode form does, wherever the capital is in GBK.
TEST(FileNameCaseTest, GbkNamesFoldAsTheirUnicodeForms) {
  std::size_t cased = 0;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      if (trail == 0x7F) continue;
      const std::string code{static_cast<char>(lead), static_cast<char>(trail)};
      const std::string utf8 = GbkForDisplay(code);
      if (utf8.find("\\x") != std::string::npos) continue;  // not a character
      const auto capital = Utf8ToGbk(file_name_case::FoldUtf8(utf8));
      const std::string expected = capital ? *capital : code;
      EXPECT_EQ(file_name_case::FoldGbk(code), expected) << std::hex << lead << " " << trail;
      cased += expected != code;
    }
  }
  EXPECT_GE(cased, 90u);  // the loop did meet the cased rows
  EXPECT_EQ(file_name_case::FoldGbk("\\Bin\\halvix.exe"), "\\BIN\\HALVIX.EXE");
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

TEST(SignedPairTest, TheBridgeHoldsOldAndNewSignaturesOfEveryKeyThatFits) {
  TempDir dir;
  std::string error;
  std::vector<Pkey> keys, publics;
  for (int i = 0; i < 3; ++i) {
    const std::string name = dir / ("k" + std::to_string(i));
    ASSERT_TRUE(GenerateKeyPair(name + ".pem", name + ".pub", error)) << error;
    keys.push_back(LoadPrivateKey(name + ".pem", error));
    publics.push_back(LoadPublicKey(name + ".pub", error));
  }
  const std::string before = "[Root]\r\nSerial=1\r\n", after = "[Root]\r\nSerial=2\r\n";
  auto sig = [&](const std::string& manifest, std::size_t count) {
    std::vector<SignatureEntry> entries;
    for (std::size_t i = 0; i < count; ++i) entries.push_back(SignManifest(keys[i].get(), manifest));
    return FormatSignatureFile(entries);
  };
  // (keys signing, keys whose old signature does not fit)
  for (const auto& [count, left] : {std::pair<std::size_t, std::size_t>{1, 0}, {2, 0}, {3, 2}}) {
    std::vector<std::string> leftIds;
    const std::string bridge = BridgeSignature(sig(before, count), sig(after, count), leftIds);
    EXPECT_EQ(leftIds.size(), left) << count;
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_TRUE(UpdaterAccepts(bridge, {publics[i].get()}, after)) << count << " key " << i;
      EXPECT_EQ(UpdaterAccepts(bridge, {publics[i].get()}, before), i + left < count) << count << " key " << i;
    }
  }
}

TEST(SignedPairTest, StaleTemporariesOfThisFileAloneAreRemoved) {
  TempDir dir;
  for (const char* name : {"M.cfg.tmp-a1B2c3", "M.cfg.sig.tmp-x9Y8z7", "M.cfg.tmp-toolong1", "N.cfg.tmp-a1B2c3",
                           "M.cfg"}) {
    WriteFile(dir / name, "x");
  }
  EXPECT_EQ(RemoveStaleTemporaries(dir / "M.cfg"), std::vector<std::string>{dir / "M.cfg.tmp-a1B2c3"});
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir / "")) left.insert(entry.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"M.cfg.sig.tmp-x9Y8z7", "M.cfg.tmp-toolong1", "N.cfg.tmp-a1B2c3", "M.cfg"}));
}

}  // namespace
}  // namespace publish
