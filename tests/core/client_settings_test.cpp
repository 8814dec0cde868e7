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
  ASSERT_TRUE(BuildRunPaths("C:\\Program Files\\Halvix\\Torvane.exe", state));
  EXPECT_EQ(state.exeFolder, "C:\\Program Files\\Halvix\\");
  EXPECT_EQ(state.upgradeCfgPath, "C:\\Program Files\\Halvix\\Upgrade.cfg");
  EXPECT_EQ(state.historyPath, "C:\\Program Files\\Halvix\\HistoryVersionList.cfg");
  EXPECT_EQ(state.backupFolder, "C:\\Program Files\\Halvix\\TempBackUpFolder");
  EXPECT_EQ(state.tempFolder, "C:\\Program Files\\Halvix\\UpdateTempFolder");
}

TEST(RunPaths, FolderCutSkipsDoubleByteTrailBytes) {
  // "\x95\x5c" is one character whose trail byte is '\\'.
  const std::string folder = std::string("Z:\\a\x95\x5c") + "b\\";
  EXPECT_EQ(FolderOfModulePath(folder + "Torvane.exe"), folder);
  EXPECT_EQ(FolderOfModulePath(std::string("Z:\\x\\T\x95\x5c.exe")), "Z:\\x\\");
  EXPECT_EQ(FolderOfModulePath("Torvane.exe"), "");
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
    EXPECT_EQ(BuildRunPaths(folder + "Torvane.exe", state), c.ok) << c.folderLength;
    if (c.ok) {
      EXPECT_EQ(state.historyPath.size(), kMaxPathChars);
    } else {
      EXPECT_EQ(state.exeFolder, "untouched") << c.folderLength;
    }
  }
  UpdateJobState noFolder;
  EXPECT_FALSE(BuildRunPaths("no folder", noFolder));
}

TEST(RunPaths, SettingsPathFitsOrIsRefused) {
  EXPECT_EQ(SettingsPathFor("C:\\a\\"), "C:\\a\\Upgrade.cfg");
  EXPECT_EQ(SettingsPathFor(std::string(248, 'd')).size(), kMaxPathChars);
  EXPECT_EQ(SettingsPathFor(std::string(249, 'd')), "");
}

}  // namespace
