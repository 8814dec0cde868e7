#pragma once
// Cases shared by the native tests (INI text read in memory) and the Wine
// tests (the same text written to a file and read by GetPrivateProfileStringA),
// so the in-memory reader cannot drift from the platform's profile rules.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "updater/base/manifest.h"
#include "updater/base/profile_reader.h"
#include "updater/base/update_job_state.h"

namespace manifest_cases {

// Text with embedded NUL bytes kept.
template <std::size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// One read of one key: the profile rules themselves.
struct ReadCase {
  const char* name;
  std::string ini;
  const char* section;
  const char* key;
  std::size_t limit;
  std::string expected;
};

inline std::vector<ReadCase> ReadCases() {
  const std::string x40(40, 'x');
  const std::string x31(31, 'x');
  const std::string x30(30, 'x');
  std::string zhong20;  // twenty double-byte characters
  for (int i = 0; i < 20; ++i) zhong20 += "\xd6\xd0";
  return {
      {"plain value", "[Root]\r\nKey=value\r\n", "Root", "Key", 31, "value"},
      {"names ignore letter case", "[rOOt]\nkEY=v\n", "Root", "Key", 31, "v"},
      {"white space around names and value", "  [Root]  \n \t Key \t=  spaced value \t\n",
       "Root", "Key", 31, "spaced value"},
      {"double quotes dropped", "[S]\nK=\"quoted value\"\n", "S", "K", 31, "quoted value"},
      {"single quotes dropped", "[S]\nK='q'\n", "S", "K", 31, "q"},
      {"quotes keep inner spaces", "[S]\nK=\" padded \"\n", "S", "K", 31, " padded "},
      {"spaces outside quotes dropped", "[S]\nK=  \"v\"  \n", "S", "K", 31, "v"},
      {"only one pair of quotes dropped", "[S]\nK=\"\"x\"\"\n", "S", "K", 31, "\"x\""},
      {"mismatched quotes kept", "[S]\nK=\"abc'\n", "S", "K", 31, "\"abc'"},
      {"opening quote alone kept", "[S]\nK=\"abc\n", "S", "K", 31, "\"abc"},
      {"single quote character kept", "[S]\nK=\"\n", "S", "K", 31, "\""},
      {"empty quotes read as empty", "[S]\nK=\"\"\n", "S", "K", 31, ""},
      {"empty value", "[S]\nK=\n", "S", "K", 31, ""},
      {"missing key", "[S]\nOther=1\n", "S", "K", 31, ""},
      {"missing section", "[T]\nK=1\n", "S", "K", 31, ""},
      {"key line without equals sign", "[S]\nK\n", "S", "K", 31, ""},
      {"equals sign inside value", "[S]\nK=a=b\n", "S", "K", 31, "a=b"},
      {"value cut to the limit", "[S]\nK=" + x40 + "\n", "S", "K", 31, x31},
      {"value at the limit kept", "[S]\nK=" + x31 + "\n", "S", "K", 31, x31},
      {"quoted value cut to the limit", "[S]\nK=\"" + x40 + "\"\n", "S", "K", 31, x31},
      {"first of two equal keys wins", "[S]\nK=first\nk=second\n", "S", "K", 31, "first"},
      {"only the first section of a name is searched", "[S]\nA=1\n[T]\nB=2\n[s]\nB=3\n", "S",
       "B", 31, ""},
      {"keys before any section are not in a section", "K=1\n[S]\nA=2\n", "S", "K", 31, ""},
      {"lines ending with carriage returns only", "[S]\rA=1\rK=2", "S", "K", 31, "2"},
      {"text after the closing bracket ignored", "[S] ; note\nK=v\n", "S", "K", 31, "v"},
      {"section name runs to the last bracket", "[S]x]\nK=v\n", "S]x", "K", 31, "v"},
      {"spaces inside brackets dropped", "[ S ]\nK=v\n", "S", "K", 31, "v"},
      {"UTF-8 byte order mark skipped", "\xEF\xBB\xBF[S]\nK=v\n", "S", "K", 31, "v"},
      {"NUL ends a value", Bytes("[S]\nK=ab\0cd\n"), "S", "K", 31, "ab"},
      {"last line without line end", "[S]\nK=v", "S", "K", 31, "v"},
      {"end-of-file mark is white space", "[S]\nK=v\x1a\n", "S", "K", 31, "v"},
      // Code page 936 text: bytes pass through, trail bytes are not letters.
      {"double-byte value passed through", "[S]\nK=\xd6\xd0\xce\xc4\n", "S", "K", 31,
       "\xd6\xd0\xce\xc4"},
      {"trail byte that looks like a backslash", "[S]\nK=\\a\x81\x5c\\b\n", "S", "K", 31,
       "\\a\x81\x5c\\b"},
      {"double-byte names compared whole", "[\x81\x41]\nK=v\n", "\x81\x61", "K", 31, ""},
      {"double-byte section name", "[\xd6\xd0]\nK=v\n", "\xd6\xd0", "K", 31, "v"},
      {"cut never splits a double-byte character", "[S]\nK=ab\xd6\xd0\xce\xc4\n", "S", "K", 5,
       "ab\xd6\xd0"},
      {"cut after a whole double-byte character", "[S]\nK=ab\xd6\xd0\xce\xc4\n", "S", "K", 6,
       "ab\xd6\xd0\xce\xc4"},
      {"ideographic space is not white space", "[S]\nK=\xa1\xa1v\xa1\xa1\n", "S", "K", 31,
       "\xa1\xa1v\xa1\xa1"},
      {"quoted value under the limit", "[S]\nK=\"" + x30 + "\"\n", "S", "K", 31, x30},
      {"quoted value one over the limit", "[S]\nK=\"" + x31 + "y\"\n", "S", "K", 31, x31},
      {"quotes dropped only at both ends", "[S]\nK=\"a\"b\"\n", "S", "K", 31, "a\"b"},
      {"quoted space kept", "[S]\nK=' '\n", "S", "K", 31, " "},
      {"value of spaces only is empty", "[S]\nK=   \n", "S", "K", 31, ""},
      {"vertical tab and form feed are white space", "[S]\nK=\vv\f\n", "S", "K", 31, "v"},
      {"semicolon starts no comment", "[S]\n;K=v\n", "S", ";K", 31, "v"},
      {"header without closing bracket is a key line", "[S]\n[T\nK=v\n", "S", "K", 31, "v"},
      {"header without closing bracket names a key", "[S]\n[T=5\n", "S", "[T", 31, "5"},
      {"keys before any header form a nameless section", "K=1\n[S]\nA=2\n", "", "K", 31, "1"},
      {"tabs inside brackets dropped", "[\tS\t]\nK=v\n", "S", "K", 31, "v"},
      {"ideographic space inside brackets kept", "[\xa1\xa1S]\nK=v\n", "S", "K", 31, ""},
      {"NUL ends a key name", Bytes("[S]\nK\0x=v\n"), "S", "K", 31, "v"},
      {"NUL ends a section name", Bytes("[S\0x]\nK=v\n"), "S", "K", 31, "v"},
      {"carriage return alone ends a line", "[S]\rA=1\nK=2\n", "S", "A", 31, "1"},
      {"UTF-16 text with byte order mark", Bytes("\xff\xfe[\0S\0]\0\n\0K\0=\0v\0\n\0"), "S",
       "K", 31, "v"},
      {"UTF-16 big-endian text with byte order mark",
       Bytes("\xfe\xff\0[\0S\0]\0\n\0K\0=\0v\0\n"), "S", "K", 31, "v"},
      {"bytes outside code page 936 passed through", "[S]\nK=a\x80" "b\xff" "c\n", "S", "K", 31,
       "a\x80" "b\xff" "c"},
      {"no-break byte is not white space", "[S]\nK=\xa0v\n", "S", "K", 31, "\xa0v"},
      {"full-width letters are not folded", "[S]\nK\xa3\xc1=v\n", "S", "K\xa3\xe1", 31, ""},
      {"double-byte value cut to whole characters",
       "[S]\nK=" + zhong20 + "\n", "S", "K", 31, zhong20.substr(0, 30)},
      {"quoted double-byte value cut", "[S]\nK=\"a\xd6\xd0\xd6\xd0\"\n", "S", "K", 4,
       "a\xd6\xd0"},
  };
}

// What CheckAndInstall's reads make of one manifest.
enum class Stop { kNone, kRoot, kIndex, kList };
using Entries = std::vector<std::pair<std::string, std::string>>;

struct Outcome {
  Stop stop = Stop::kNone;
  bool releaseSelected = false;
  bool multiStep = false;
  int32_t installedIndex = 0;
  int32_t versionCount = 0;
  int32_t latestVersion = 0;
  std::string downloadUrl;
  Entries urls;    // FileUrlMap in iteration order
  Entries hashes;  // FileHashMap in iteration order
  Entries patches; // FilePatchMap: FilePath -> "base url sha256 length;" per patch
};

inline void PrintTo(Stop stop, std::ostream* os) {
  static const char* const kNames[] = {"none", "root", "index", "list"};
  *os << kNames[static_cast<int>(stop)];
}

// Compares field by field so that a failure names the field.
inline void ExpectOutcome(const Outcome& actual, const Outcome& expected) {
  EXPECT_EQ(actual.stop, expected.stop);
  EXPECT_EQ(actual.releaseSelected, expected.releaseSelected);
  EXPECT_EQ(actual.multiStep, expected.multiStep);
  EXPECT_EQ(actual.installedIndex, expected.installedIndex);
  EXPECT_EQ(actual.versionCount, expected.versionCount);
  EXPECT_EQ(actual.latestVersion, expected.latestVersion);
  EXPECT_EQ(actual.downloadUrl, expected.downloadUrl);
  EXPECT_EQ(actual.urls, expected.urls);
  EXPECT_EQ(actual.hashes, expected.hashes);
  EXPECT_EQ(actual.patches, expected.patches);
}

inline Entries PatchEntriesOf(const FilePatchTable& table) {
  Entries out;
  for (const auto& [path, patches] : table) {
    std::string text;
    for (const FilePatch& p : patches) {
      text += p.baseSha256 + " " + p.url + " " + p.sha256 + " " + std::to_string(p.length) + ";";
    }
    if (!text.empty()) out.emplace_back(path, text);
  }
  return out;
}

inline Entries EntriesOf(const FileTable& table) { return Entries(table.begin(), table.end()); }

// The reads of the update check, in its order.
inline Outcome RunReaders(const ProfileReader& reader, int32_t installedVersion) {
  UpdateJobState state;
  state.installedVersion = installedVersion;
  state.installedIndex = -1;
  state.downloadUrl = "http://cfg.example/download";
  Outcome out;
  if (!manifest::ReadRootHeader(reader, state)) {
    out.stop = Stop::kRoot;
  } else {
    const manifest::ReleaseIndex index = manifest::ReadVersionIndex(reader, state.installedVersion, state);
    out.releaseSelected = manifest::IsSelected(index);
    out.multiStep = index == manifest::ReleaseIndex::kSeveralSteps;
    if (index == manifest::ReleaseIndex::kUnreadable) {
      out.stop = Stop::kIndex;
    } else if (out.releaseSelected) {
      const bool ok = out.multiStep ? manifest::ReadVersionRange(reader, state)
                                    : manifest::ReadSingleVersion(reader, state);
      if (!ok) out.stop = Stop::kList;
    }
  }
  out.installedIndex = state.installedIndex;
  out.versionCount = state.versionCount;
  out.latestVersion = state.latestVersion;
  // The manifest's page, when it names one, replaces the settings'.
  out.downloadUrl = state.downloadPage.empty() ? state.downloadUrl : state.downloadPage;
  out.urls = EntriesOf(state.FileUrlMap);
  out.hashes = EntriesOf(state.FileHashMap);
  out.patches = PatchEntriesOf(state.FilePatchMap);
  return out;
}

struct ManifestCase {
  const char* name;
  std::string ini;
  int32_t installedVersion;
  Outcome expected;
};

// The release list 100, 200, 300 and the sections of 200 and 300.
inline std::string WorkedExample() {
  return "[Root]\r\n"
         "VersionCount=3\r\n"
         "ver0=100\r\nver1=200\r\nver2=300\r\n"
         "CurrentVersionTime=300\r\n"
         "CurrentVersionNum=3.0 beta\r\n"
         "[200]\r\n"
         "FileCount=2\r\n"
         "FilePath0=\\a.dll\r\nFileUrl0=http://h/200/a.dll\r\n"
         "FileHashID0=d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1\r\n"
         "FilePath1=\\codec\\b.ocx\r\nFileUrl1=http://h/200/b.ocx\r\n"
         "FileHashID1=d2d2d2d2d2d2d2d2d2d2d2d2d2d2d2d2\r\n"
         "[300]\r\n"
         "FileCount=1\r\n"
         "FilePath0=\\codec\\b.ocx\r\nFileUrl0=http://h/300/b.ocx\r\n";
}

// A [Root] with the given release list and the latest release named "latest".
inline std::string Root(const std::string& count, const std::vector<std::string>& versions,
                        const std::string& latest) {
  std::string text = "[Root]\nVersionCount=" + count + "\nCurrentVersionNum=n\n";
  for (std::size_t i = 0; i < versions.size(); ++i) {
    text += "ver" + std::to_string(i) + "=" + versions[i] + "\n";
  }
  return text + "CurrentVersionTime=" + latest + "\n";
}

// A release section with (path, url, digest) triples; an empty digest writes
// no FileHashID key.
inline std::string Section(const std::string& name, const std::string& count,
                           const std::vector<std::vector<std::string>>& files) {
  std::string text = "[" + name + "]\nFileCount=" + count + "\n";
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string n = std::to_string(i);
    text += "FilePath" + n + "=" + files[i][0] + "\nFileUrl" + n + "=" + files[i][1] + "\n";
    if (!files[i][2].empty()) text += "FileHashID" + n + "=" + files[i][2] + "\n";
  }
  return text;
}

// The patch keys of file entry i, patch j.
inline std::string PatchKeys(int i, int j, const std::string& base, const std::string& url,
                             const std::string& sha256, const std::string& size) {
  const std::string n = std::to_string(i) + "_" + std::to_string(j);
  return "FilePatchBase" + n + "=" + base + "\nFilePatchUrl" + n + "=" + url + "\nFilePatchSha256" + n + "=" +
         sha256 + "\nFilePatchSize" + n + "=" + size + "\n";
}

inline Outcome WithPatches(Outcome o, Entries patches) {
  o.patches = std::move(patches);
  return o;
}

inline Outcome Expect(Stop stop, bool selected, bool multiStep, int32_t index, int32_t count,
                      int32_t latest, Entries urls = {}, Entries hashes = {},
                      std::string downloadUrl = "http://cfg.example/download") {
  Outcome o;
  o.stop = stop;
  o.releaseSelected = selected;
  o.multiStep = multiStep;
  o.installedIndex = index;
  o.versionCount = count;
  o.latestVersion = latest;
  o.urls = std::move(urls);
  o.hashes = std::move(hashes);
  o.downloadUrl = std::move(downloadUrl);
  return o;
}

inline std::vector<ManifestCase> ManifestCases() {
  const std::string d1(32, '1'), d2(32, '2'), d3(32, '3');
  const std::string b1(64, 'b'), b2(64, 'B'), s1(64, '5'), s2 = std::string(32, 'a') + std::string(32, '0');
  const std::string url300 = "http://h/" + std::string(291, 'u');  // 300 characters
  const std::string path200 = "\\" + std::string(200, 'p');
  const std::string page600 = "http://page/" + std::string(588, 'q');
  const Stop ok = Stop::kNone;
  return {
      {"worked example, installed 100: releases 200 and 300 merged", WorkedExample(), 100,
       Expect(ok, true, true, 0, 3, 300,
              {{"\\a.dll", "http://h/200/a.dll"}, {"\\codec\\b.ocx", "http://h/300/b.ocx"}},
              {{"\\a.dll", "d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1d1"},
               {"\\codec\\b.ocx", "d2d2d2d2d2d2d2d2d2d2d2d2d2d2d2d2"}})},
      {"worked example, installed 200: only section 300", WorkedExample(), 200,
       Expect(ok, true, false, 1, 3, 300, {{"\\codec\\b.ocx", "http://h/300/b.ocx"}})},
      {"worked example, installed 300: ver3 absent fails", WorkedExample(), 300,
       Expect(Stop::kIndex, false, false, 2, 3, 300)},
      {"worked example, installed 150: nothing selected", WorkedExample(), 150,
       Expect(ok, false, false, -1, 3, 300)},
      {"VersionCount 0 selects nothing", Root("0", {"100", "200"}, "200"), 100,
       Expect(ok, false, false, -1, 0, 200)},
      {"negative VersionCount selects nothing", Root("-3", {"100", "200"}, "200"), 100,
       Expect(ok, false, false, -1, -3, 200)},
      {"installed release listed twice: the first index wins",
       Root("4", {"100", "200", "100", "300"}, "300") +
           Section("200", "1", {{"\\a", "u200", ""}}) +
           Section("100", "1", {{"\\b", "u100", ""}}) +
           Section("300", "1", {{"\\a", "u300", ""}}),
       100, Expect(ok, true, true, 0, 4, 300, {{"\\a", "u300"}, {"\\b", "u100"}})},
      {"negative FileCount ends at the first absent FilePath with failure",
       Root("2", {"100", "200"}, "200") +
           Section("200", "-1", {{"\\a", "ua", d1}, {"\\b", "ub", ""}}),
       100, Expect(Stop::kList, true, false, 0, 2, 200, {{"\\a", "ua"}, {"\\b", "ub"}},
                   {{"\\a", d1}})},
      {"FileCount 2147483647 with two files ends quickly with failure",
       Root("2", {"100", "200"}, "200") +
           Section("200", "2147483647", {{"\\a", "ua", ""}, {"\\b", "ub", ""}}),
       100, Expect(Stop::kList, true, false, 0, 2, 200, {{"\\a", "ua"}, {"\\b", "ub"}})},
      {"VersionCount 2147483647 with few entries ends quickly with failure",
       Root("2147483647", {"100", "200"}, "200"), 999,
       Expect(Stop::kIndex, false, false, -1, 2147483647, 200)},
      {"FileHashID present but empty is no digest",
       Root("2", {"100", "200"}, "200") + "[200]\nFileCount=1\nFilePath0=\\a\nFileUrl0=ua\n"
                                          "FileHashID0=\n",
       100, Expect(ok, true, false, 0, 2, 200, {{"\\a", "ua"}})},
      {"FileUrl of 300 characters cut to 259",
       Root("2", {"100", "200"}, "200") + Section("200", "1", {{"\\a", url300, ""}}), 100,
       Expect(ok, true, false, 0, 2, 200, {{"\\a", url300.substr(0, 259)}})},
      {"FilePath and FileCount cut to 127", 
       Root("2", {"100", "200"}, "200") + Section("200", "1", {{path200, "ua", ""}}), 100,
       Expect(ok, true, false, 0, 2, 200, {{path200.substr(0, 127), "ua"}})},
      {"FileCount read to 127 characters: the count's last digit is cut off",
       Root("2", {"100", "200"}, "200") +
           Section("200", std::string(127, '0') + "1", {{"\\a", "ua", ""}}),
       100, Expect(ok, true, false, 0, 2, 200)},
      {"FileCount of 127 characters read whole",
       Root("2", {"100", "200"}, "200") +
           Section("200", std::string(126, '0') + "1", {{"\\a", "ua", ""}}),
       100, Expect(ok, true, false, 0, 2, 200, {{"\\a", "ua"}})},
      {"release list entry read to 31 characters",
       Root("2", {std::string(29, '0') + "100", "200"}, std::string(28, '0') + "200") +
           Section("200", "1", {{"\\a", "ua", ""}}),
       10, Expect(ok, true, false, 0, 2, 200, {{"\\a", "ua"}})},
      {"release list entry 0300 with one newer release: section 300 read",
       Root("2", {"200", "0300"}, "300") + Section("300", "1", {{"\\plain", "u", ""}}) +
           Section("0300", "1", {{"\\padded", "u", ""}}),
       200, Expect(ok, true, false, 0, 2, 300, {{"\\plain", "u"}})},
      {"release list entry 0300 with several newer releases: section 0300 read",
       Root("3", {"100", "200", "0300"}, "300") + Section("200", "0", {}) +
           Section("300", "1", {{"\\plain", "u", ""}}) +
           Section("0300", "1", {{"\\padded", "u", ""}}),
       100, Expect(ok, true, true, 0, 3, 300, {{"\\padded", "u"}})},
      {"same FilePath twice in one section: later URL, earlier digest kept",
       Root("2", {"100", "200"}, "200") +
           Section("200", "3", {{"\\a", "first", d1}, {"\\b", "ub", ""}, {"\\a", "second", ""}}),
       100, Expect(ok, true, false, 0, 2, 200, {{"\\a", "second"}, {"\\b", "ub"}}, {{"\\a", d1}})},
      {"later release's digest replaces an earlier one",
       Root("3", {"100", "200", "300"}, "300") + Section("200", "1", {{"\\a", "u2", d1}}) +
           Section("300", "1", {{"\\a", "u3", d3}}),
       100, Expect(ok, true, true, 0, 3, 300, {{"\\a", "u3"}}, {{"\\a", d3}})},
      {"FilePaths differing only in letter case are two entries",
       Root("2", {"100", "200"}, "200") +
           Section("200", "2", {{"\\A.dll", "u1", d1}, {"\\a.dll", "u2", d2}}),
       100, Expect(ok, true, false, 0, 2, 200, {{"\\A.dll", "u1"}, {"\\a.dll", "u2"}},
                   {{"\\A.dll", d1}, {"\\a.dll", d2}})},
      {"release section missing",
       Root("3", {"100", "200", "300"}, "300") + Section("200", "1", {{"\\a", "u2", ""}}), 100,
       Expect(Stop::kList, true, true, 0, 3, 300, {{"\\a", "u2"}})},
      {"latest section missing with one newer release", Root("2", {"100", "200"}, "200"), 100,
       Expect(Stop::kList, true, false, 0, 2, 200)},
      {"FileCount 0 everywhere gives empty tables",
       Root("3", {"100", "200", "300"}, "300") + Section("200", "0", {}) +
           Section("300", "0", {}),
       100, Expect(ok, true, true, 0, 3, 300)},
      {"FileUrl absent fails after the entries before it",
       Root("2", {"100", "200"}, "200") +
           "[200]\nFileCount=2\nFilePath0=\\a\nFileUrl0=ua\nFilePath1=\\b\n",
       100, Expect(Stop::kList, true, false, 0, 2, 200, {{"\\a", "ua"}})},
      {"CurrentVersionTime missing fails first", "[Root]\nVersionCount=2\nver0=1\nver1=2\n", 1,
       Expect(Stop::kRoot, false, false, -1, 0, 0)},
      {"VersionCount missing", "[Root]\nCurrentVersionTime=2\nCurrentVersionNum=n\n", 1,
       Expect(Stop::kIndex, false, false, -1, 0, 2)},
      {"CurrentVersionNum missing",
       "[Root]\nCurrentVersionTime=2\nVersionCount=2\nver0=1\nver1=2\n", 1,
       Expect(Stop::kIndex, false, false, -1, 2, 2)},
      {"release list entry missing before the match",
       "[Root]\nCurrentVersionTime=3\nCurrentVersionNum=n\nVersionCount=3\nver0=1\nver2=3\n", 3,
       Expect(Stop::kIndex, false, false, -1, 3, 3)},
      {"[Root] DownloadUrl replaces the download page, cut to 511",
       "[Root]\nDownloadUrl=" + page600 + "\n" + Root("0", {}, "1").substr(7), 1,
       Expect(ok, false, false, -1, 0, 1, {}, {}, page600.substr(0, 511))},
      {"empty [Root] DownloadUrl keeps the download page",
       "[Root]\nDownloadUrl=\n" + Root("0", {}, "1").substr(7), 1,
       Expect(ok, false, false, -1, 0, 1)},
      {"five releases, installed entry 3: the latest section only",
       Root("5", {"1", "2", "3", "4", "5"}, "5") + Section("3", "1", {{"\\c", "u3", ""}}) +
           Section("4", "1", {{"\\d", "u4", ""}}) + Section("5", "1", {{"\\e", "u5", ""}}),
       4, Expect(ok, true, false, 3, 5, 5, {{"\\e", "u5"}})},
      {"five releases, installed entry 1: releases 3, 4 and 5 merged",
       Root("5", {"1", "2", "3", "4", "5"}, "5") + Section("3", "1", {{"\\c", "u3", ""}}) +
           Section("4", "1", {{"\\d", "u4", ""}}) + Section("5", "1", {{"\\c", "u5", ""}}),
       2, Expect(ok, true, true, 1, 5, 5, {{"\\c", "u5"}, {"\\d", "u4"}})},
      {"quoted and padded values, names in any case",
       "[root]\nversioncount = 2\nVER0 = \"100\"\nVer1='200'\ncurrentversiontime=\" 200\"\n"
       "CURRENTVERSIONNUM=x\n[200]\nfilecount=1\nfilepath0=\"\\q.dll\"\nFILEURL0= 'uq' \n",
       100, Expect(ok, true, false, 0, 2, 200, {{"\\q.dll", "uq"}})},
      {"patches of a file read in order, up to the first absent FilePatchUrl",
       Root("2", {"100", "200"}, "200") + Section("200", "1", {{"\\a", "ua", ""}}) +
           PatchKeys(0, 0, b1, "p1", s1, "123") + PatchKeys(0, 1, b2, "p2", s2, "7") +
           PatchKeys(0, 3, b1, "p4", s1, "9"),
       100,
       WithPatches(Expect(ok, true, false, 0, 2, 200, {{"\\a", "ua"}}),
                   {{"\\a", b1 + " p1 " + s1 + " 123;" + b2 + " p2 " + s2 + " 7;"}})},
      {"a patch with a malformed field is skipped, the next one still read",
       Root("2", {"100", "200"}, "200") + Section("200", "1", {{"\\a", "ua", ""}}) +
           PatchKeys(0, 0, b1 + "0", "long-base", s1, "1") + PatchKeys(0, 1, b1, "short-sha", d1, "1") +
           PatchKeys(0, 2, b1, "size", s1, "12x") + PatchKeys(0, 3, b1, "no-size", s1, "") +
           PatchKeys(0, 4, b1, "neg", s1, "-1") + PatchKeys(0, 5, b1, "kept", s1, "99999999999"),
       100,
       WithPatches(Expect(ok, true, false, 0, 2, 200, {{"\\a", "ua"}}),
                   {{"\\a", b1 + " kept " + s1 + " 99999999999;"}})},
      {"the latest release's entry decides a file's patches, even with none",
       Root("4", {"100", "200", "300", "400"}, "400") +
           Section("200", "2", {{"\\a", "u2", ""}, {"\\b", "ub", ""}}) + PatchKeys(0, 0, b1, "pa2", s1, "1") +
           PatchKeys(1, 0, b2, "pb2", s2, "2") + Section("300", "1", {{"\\a", "u3", ""}}) +
           Section("400", "1", {{"\\b", "ub4", ""}}) + PatchKeys(0, 0, b1, "pb4", s2, "3"),
       100,
       WithPatches(Expect(ok, true, true, 0, 4, 400, {{"\\a", "u3"}, {"\\b", "ub4"}}),
                   {{"\\b", b1 + " pb4 " + s2 + " 3;"}})},
      {"a FilePath and its aside name in one release are malformed",
       Root("2", {"100", "200"}, "200") +
           Section("200", "2", {{"\\x.dll", "u1", ""}, {"\\X.DLL.Bak", "u2", ""}}),
       100, Expect(Stop::kList, true, false, 0, 2, 200, {{"\\x.dll", "u1"}, {"\\X.DLL.Bak", "u2"}})},
      {"a FilePath and its aside name merged from two releases are malformed",
       Root("3", {"100", "200", "300"}, "300") + Section("200", "1", {{"\\c\\x.bak", "u2", ""}}) +
           Section("300", "1", {{"\\C\\x", "u3", ""}}),
       100, Expect(Stop::kList, true, true, 0, 3, 300, {{"\\c\\x.bak", "u2"}, {"\\C\\x", "u3"}})},
      {"an aside name in another folder, or with a double-byte look-alike, is no clash",
       Root("2", {"100", "200"}, "200") +
           Section("200", "4", {{"\\x", "u1", ""}, {"\\d\\x.bak", "u2", ""}, {"\\\xc1\x41", "u3", ""},
                                {"\\\xc1\x61.bak", "u4", ""}}),
       100, Expect(ok, true, false, 0, 2, 200,
                   {{"\\x", "u1"}, {"\\d\\x.bak", "u2"}, {"\\\xc1\x41", "u3"}, {"\\\xc1\x61.bak", "u4"}})},
      {"double-byte FilePath kept byte for byte",
       Root("2", {"100", "200"}, "200") +
           Section("200", "1", {{"\\\xd6\xd0\xce\xc4\\\x81\x5c.dll", "u", ""}}),
       100, Expect(ok, true, false, 0, 2, 200, {{"\\\xd6\xd0\xce\xc4\\\x81\x5c.dll", "u"}})},
  };
}

}  // namespace manifest_cases
