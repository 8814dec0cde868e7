#include "updater/core/install_paths.h"

#include <gtest/gtest.h>

#include <string>

using namespace install_paths;

namespace {

UpdateJobState StateIn(const std::string& exeFolder) {
  UpdateJobState state;
  state.exeFolder = exeFolder;
  state.tempFolder = exeFolder + "UpdateTempFolder";
  state.backupFolder = exeFolder + "TempBackUpFolder";
  state.historyPath = exeFolder + "HistoryVersionList.cfg";
  return state;
}

// A double-byte character whose trail byte is 0x5C, the backslash.
const std::string kTrailBackslash = "\x81\x5c";
// "中文" in code page 936.
const std::string kChinese = "\xd6\xd0\xce\xc4";

}  // namespace

TEST(InstallPaths, FolderPartIsTheTextBeforeTheLastBackslash) {
  struct Case { std::string filePath, folder; };
  const Case cases[] = {
      {"\\a.dll", ""},
      {"\\codec\\b.ocx", "\\codec"},
      {"\\a\\b\\c.dll", "\\a\\b"},
      {"noslash", ""},
      {"\\dir" + kTrailBackslash + "x.dll", ""},
      {"\\" + kChinese + "\\x" + kTrailBackslash + ".dll", "\\" + kChinese},
  };
  for (const Case& c : cases) EXPECT_EQ(FolderPart(c.filePath), c.folder) << c.filePath;
  EXPECT_EQ(ParentPath("C:\\x\\y"), "C:\\x");
  EXPECT_EQ(ParentPath("C:"), "");
}

TEST(InstallPaths, FilePathsInsideTheClientFolderAreAccepted) {
  const std::string accepted[] = {
      "\\a.dll",
      "\\codec\\b.ocx",
      "\\v1.2\\readme",
      "\\new\\deeper\\x.dll",
      "\\a.DLL",
      "\\" + kChinese + "\\" + kChinese + ".dll",
      "\\dir" + kTrailBackslash + "x.dll",  // one name in code page 936 ...
      "\\..x\\a.b.c",
      "\\name with spaces\\f.txt",
      "\\a~b.dll",
      "\\Torvane.exe",
      "\\UpdateTempFolder2\\x.dll",
      "\\console.dll",
      "\\COM10.dll",
      "\\logs\\Torvane.log",
      "\\Torvane.log.2",
  };
  for (const std::string& p : accepted) EXPECT_TRUE(IsContainedFilePath(p)) << p;
}

TEST(InstallPaths, FilePathsThatLeaveOrMisuseTheClientFolderAreRefused) {
  const std::string refused[] = {
      "",
      "\\",
      "a.dll",                      // no leading backslash
      "\\..\\outside.dll",
      "\\sub\\..\\..\\outside.dll",
      "\\sub\\..\\inside.dll",      // harmless but not plain
      "\\.\\a.dll",
      "\\sub\\.",
      "\\..",
      "C:\\x.dll",
      "\\C:\\x.dll",
      "\\x.dll:stream",
      "/x.dll",
      "\\sub/x.dll",
      "\\\\server\\share\\x.dll",
      "\\TorvaneKept",                      // journals set aside
      "\\torvanekept\\1\\a.dll",
      "\\a.dll.TorvaneCopy",               // a restore's copy beside its destination
      "\\sub\\b.ocx.torvanecopy.PARTIAL",  // and the one older updaters made
      "\\sub\\\\x.dll",
      "\\sub\\",
      "\\UpdateTempFolder\\x",
      "\\updatetempfolder\\x",
      "\\TempBackUpFolder\\x.dll",
      "\\TEMPBACKUPFOLDER",
      "\\updatepartialfolder\\0123456789abcdef0123456789abcdef.part",  // the kept downloads
      "\\TorvaneInstall.journal",   // its backup copy would overwrite the install journal
      "\\torvaneinstall.JOURNAL\\x.dll",
      "\\UPDATE~1\\x.dll",          // may be the short name of a work folder
      "\\PROGRA~12.DLL",
      "\\HistoryVersionList.cfg",
      "\\historyversionlist.cfg.SIG",
      "\\upgrade.CFG",
      "\\manifestserial.DAT",        // would reset the highest serial accepted
      "\\ManifestSerial.dat.new",
      "\\sub\\a.dll.TVDP-OUT",  // a patch's output beside a temporary file
      "\\torvane.LOG",
      "\\Torvane.log.1",
      "\\x.dll.",
      "\\x.dll ",
      "\\sub.\\x.dll",
      "\\sub \\x.dll",
      "\\CON",
      "\\nul.dll",
      "\\sub\\Aux .txt",
      "\\COM1.dll",
      "\\lpt9",
      "\\CONOUT$",
      "\\a\tb.dll",
      std::string("\\a\0b.dll", 8),
      "\\a\x7f.dll",
      "\\a<b.dll", "\\a>b.dll", "\\a\"b.dll", "\\a|b.dll", "\\a?.dll", "\\*.dll",
      "\\x" + std::string("\x81"),           // cut double-byte character
      "\\x\x81\x20y.dll",                    // lead byte without a trail byte
      // Read with a single-byte code page the trail byte is a separator:
      "\\x" + kTrailBackslash + "..\\..\\outside.dll",
  };
  for (const std::string& p : refused) EXPECT_FALSE(IsContainedFilePath(p)) << p;
}

TEST(InstallPaths, EveryFormedPathMustFitItsBuffer) {
  const UpdateJobState state = StateIn("C:\\Program Files\\Halvix\\");  // 24 characters
  const std::size_t room = kMaxPathChars - state.tempFolder.size();     // 219 for the FilePath
  const std::string longest = "\\" + std::string(room - 1, 'a');
  EXPECT_TRUE(FitsPathBuffers(state, longest));
  EXPECT_FALSE(FitsPathBuffers(state, longest + "b"));
  // A deep folder needs room for its enumeration pattern "\*.*" as well.
  const std::string deep = "\\" + std::string(room - 4, 'd') + "\\x";
  EXPECT_EQ(deep.size(), room - 1);
  EXPECT_FALSE(FitsPathBuffers(state, deep));
  EXPECT_TRUE(FitsPathBuffers(state, "\\" + std::string(room - 5, 'd') + "\\xy"));
  // Beside the longest destination the rules let through, a restore's copy
  // of its backup fits as well.
  const std::string nearLimit = "\\" + std::string(kMaxPathChars - state.backupFolder.size() - 1, 'c');
  ASSERT_TRUE(FitsPathBuffers(state, nearLimit));
  EXPECT_LE((state.exeFolder + nearLimit + kCopyBackSuffix).size(), kMaxPathChars);
}

TEST(InstallPaths, Bz2DownloadTargetsStayInTheTemporaryFolder) {
  const UpdateJobState state = StateIn("C:\\Halvix\\");
  struct Case { const char* url; bool contained; };
  const Case cases[] = {
      {"http://h/pack/x.dll", true},
      {"http://h/pack/x.dll.bz2", true},
      {"http://h/pack/x.dll.BZ2", true},  // not the special case: written at the temporary path
      {"http://h/a\\..\\..\\..\\evil.bz2", false},
      {"http://h/..", true},              // extension "" after the last dot: not bz2
      {"http://h/x:y.bz2", false},
      {"http://h/.bz2", true},
      {"http://h/CON.bz2", false},
      {"x.bz2", true},
      {"http://h/", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsContainedDownloadTarget(state, "\\sub\\x.dll", c.url), c.contained) << c.url;
  }
  const std::string longName = "http://h/" + std::string(300, 'n') + ".bz2";
  EXPECT_FALSE(IsContainedDownloadTarget(state, "\\x.dll", longName));
}

TEST(InstallPaths, OneBadEntryRefusesTheWholeTable) {
  UpdateJobState state = StateIn("C:\\Halvix\\");
  state.FileUrlMap.Set("\\a.dll", "http://h/a.dll");
  state.FileUrlMap.Set("\\codec\\b.ocx", "http://h/b.ocx");
  EXPECT_TRUE(InstallTableIsContained(state, state));
  state.FileUrlMap.Set("\\sub\\..\\..\\outside.dll", "http://h/o.dll");
  EXPECT_FALSE(InstallTableIsContained(state, state));

  UpdateJobState bz2 = StateIn("C:\\Halvix\\");
  bz2.FileUrlMap.Set("\\a.dll", "http://h/..\\..\\a.bz2");
  EXPECT_FALSE(InstallTableIsContained(bz2, bz2));
  EXPECT_TRUE(InstallTableIsContained(StateIn("C:\\Halvix\\"), StateIn("C:\\Halvix\\")));
}

TEST(InstallPaths, ComServerExtensionIsTheTextAfterTheLastDot) {
  struct Case { std::string path; bool com; };
  const Case cases[] = {
      {"C:\\H\\\\a.dll", true},   {"C:\\H\\\\a.DLL", true},     {"C:\\H\\\\b.Ocx", true},
      {"C:\\H\\\\v1.2\\readme", false}, {"C:\\H\\\\a.exe", false}, {"C:\\H\\\\a.dll.bak", false},
      {"C:\\H\\\\adll", false},   {"noextension", false},        {"C:\\H\\\\a.dllx", false},
      {"C:\\H\\\\x\x81.dll", false},  // the dot is the trail byte of a double-byte character
  };
  for (const Case& c : cases) EXPECT_EQ(HasComServerExtension(c.path), c.com) << c.path;
}

TEST(InstallPaths, RegsvrCommandNamesTheSystemToolQuotesThePathAndMakesDoubledBackslashesSingle) {
  const std::string tool = "C:\\windows\\system32\\regsvr32.exe";
  struct Case { std::string path, quoted; };
  const Case cases[] = {
      {"C:\\Halvix\\\\codec\\b.ocx", "C:\\Halvix\\codec\\b.ocx"},
      {"C:\\a\\\\\\b.dll", "C:\\a\\\\b.dll"},
      // A client on a network share keeps the two backslashes that open its path.
      {"\\\\server\\share\\Halvix\\\\a.dll", "\\\\server\\share\\Halvix\\a.dll"},
      // A trail byte 0x5C followed by a real backslash is not a doubled backslash.
      {"C:\\x" + kTrailBackslash + "\\a.dll", "C:\\x" + kTrailBackslash + "\\a.dll"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RegsvrCommandLine(tool, c.path), "\"" + tool + "\" \"" + c.quoted + "\" /s") << c.path;
  }
}
