#include "updater/core/client_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/core/client_settings_cases.h"
#include "updater/base/ini_text_reader.h"

namespace {

using client_settings_cases::SettingsCase;
using client_settings_cases::SettingsCases;

// Reads through an INI text and notes every key asked for, with its limit.
class RecordingReader : public ProfileReader {
 public:
  explicit RecordingReader(const std::string& text) : ini_(text) {}
  std::string Read(const std::string& section, const std::string& key,
                   std::size_t limit) const override {
    reads.push_back(section + "/" + key + "/" + std::to_string(limit));
    return ini_.Read(section, key, limit);
  }
  mutable std::vector<std::string> reads;

 private:
  IniTextReader ini_;
};

TEST(ClientSettings, ReadsTheClientSection) {
  for (const SettingsCase& c : SettingsCases()) {
    UpdateJobState state;
    EXPECT_EQ(ReadClientSection(IniTextReader(c.ini), state), c.ok) << c.name;
    EXPECT_EQ(state.installedVersion, c.installedVersion) << c.name;
    EXPECT_EQ(state.downloadUrl, c.downloadUrl) << c.name;
    EXPECT_EQ(state.configUrl, c.configUrl) << c.name;
  }
}

TEST(ClientSettings, KeysAreReadInOrderWithTheirLimits) {
  RecordingReader reader("[Client]\nTime=1\nConfigUrl=u\n");
  UpdateJobState state;
  ASSERT_TRUE(ReadClientSection(reader, state));
  const std::vector<std::string> expected = {"Client/Time/31", "Client/DownloadUrl/259",
                                             "Client/ConfigUrl/254"};
  EXPECT_EQ(reader.reads, expected);
  // A value whose 32nd character would change the number is read without it.
  UpdateJobState cut;
  ASSERT_TRUE(ReadClientSection(IniTextReader("[Client]\nTime=" + std::string(30, '0') + "7" +
                                              "9\nConfigUrl=u\n"),
                                cut));
  EXPECT_EQ(cut.installedVersion, 7);
}

TEST(ClientSettings, NothingIsReadAfterAnEmptyTime) {
  RecordingReader reader("[Client]\nDownloadUrl=x\nConfigUrl=u\n");
  UpdateJobState state;
  EXPECT_FALSE(ReadClientSection(reader, state));
  EXPECT_EQ(reader.reads, std::vector<std::string>{"Client/Time/31"});
}

TEST(RunPaths, DerivedFromTheModulePath) {
  UpdateJobState state;
  ASSERT_TRUE(BuildRunPaths("C:\\Program Files\\Halvix\\Torvane.exe", IsGbkLeadByte, state));
  EXPECT_EQ(state.exeFolder, "C:\\Program Files\\Halvix\\");
  EXPECT_EQ(state.upgradeCfgPath, "C:\\Program Files\\Halvix\\Upgrade.cfg");
  EXPECT_EQ(state.historyPath, "C:\\Program Files\\Halvix\\HistoryVersionList.cfg");
  EXPECT_EQ(state.backupFolder, "C:\\Program Files\\Halvix\\TempBackUpFolder");
  EXPECT_EQ(state.tempFolder, "C:\\Program Files\\Halvix\\UpdateTempFolder");
}

bool SingleByteCodePage(unsigned char) { return false; }

// The module path comes in the machine's code page: on 936 "\x95\x5c" is one
// character whose trail byte is '\\'; on 1252 "\xE9" is 'é', a whole letter.
TEST(RunPaths, FolderCutFollowsTheCodePageOfThePath) {
  struct Case {
    const char* name;
    LeadByteRule codePage;
    std::string modulePath;
    std::string folder;
  };
  const Case cases[] = {
      {"936 trail backslash in a folder", IsGbkLeadByte, "Z:\\a\x95\\b\\Torvane.exe", "Z:\\a\x95\\b\\"},
      {"936 trail backslash in the name", IsGbkLeadByte, "Z:\\x\\T\x95\x5c.exe", "Z:\\x\\"},
      {"1252 letter before a backslash", SingleByteCodePage, "C:\\Jeux\\Caf\xE9\\Torvane.exe",
       "C:\\Jeux\\Caf\xE9\\"},
      {"1252 letters everywhere", SingleByteCodePage, "C:\\\xC0\\\xE9\xE9\\T\xE9.exe",
       "C:\\\xC0\\\xE9\xE9\\"},
      {"no folder", SingleByteCodePage, "Torvane.exe", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FolderOfModulePath(c.modulePath, c.codePage), c.folder) << c.name;
    UpdateJobState state;
    EXPECT_EQ(BuildRunPaths(c.modulePath, c.codePage, state), !c.folder.empty()) << c.name;
    if (!c.folder.empty()) {
      EXPECT_EQ(state.upgradeCfgPath, c.folder + "Upgrade.cfg") << c.name;
    }
  }
}

TEST(RunPaths, RefusesFoldersTooLongForTheDerivedPaths) {
  // "HistoryVersionList.cfg" (22 characters) is the longest name after the folder.
  const auto folderOf = [](std::size_t length) {
    return "C:\\" + std::string(length - 4, 'd') + "\\";
  };
  struct Case { std::size_t folderLength; bool ok; };
  const Case cases[] = {{237, true}, {238, false}, {248, false}, {259, false}, {300, false}};
  for (const Case& c : cases) {
    const std::string folder = folderOf(c.folderLength);
    ASSERT_EQ(folder.size(), c.folderLength);
    UpdateJobState state;
    state.exeFolder = "untouched";
    EXPECT_EQ(BuildRunPaths(folder + "Torvane.exe", IsGbkLeadByte, state), c.ok) << c.folderLength;
    if (c.ok) {
      EXPECT_EQ(state.historyPath.size(), kMaxPathChars);
    } else {
      EXPECT_EQ(state.exeFolder, "untouched") << c.folderLength;
    }
  }
  UpdateJobState noFolder;
  EXPECT_FALSE(BuildRunPaths("no folder", IsGbkLeadByte, noFolder));
}

TEST(RunPaths, SettingsPathFitsOrIsRefused) {
  EXPECT_EQ(SettingsPathFor("C:\\a\\"), "C:\\a\\Upgrade.cfg");
  EXPECT_EQ(SettingsPathFor(std::string(248, 'd')).size(), kMaxPathChars);
  EXPECT_EQ(SettingsPathFor(std::string(249, 'd')), "");
}

}  // namespace
