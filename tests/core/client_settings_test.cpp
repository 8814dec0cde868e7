#include "updater/core/client_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "updater/core/ini_text_reader.h"

namespace {

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

struct SettingsCase {
  const char* name;
  std::string ini;
  bool ok;
  int32_t installedVersion;
  std::string downloadUrl;
  std::string configUrl;
};

TEST(ClientSettings, ReadsTheClientSection) {
  const std::string url = "http://127.0.0.1/list.cfg";
  const std::string page = "http://example.test/download";
  const std::string longUrl = "http://h/" + std::string(291, 'c');   // 300 characters
  const std::string longPage = "http://p/" + std::string(311, 'p');  // 320 characters
  const SettingsCase cases[] = {
      {"complete", "[Client]\r\nTime=300\r\nDownloadUrl=" + page + "\r\nConfigUrl=" + url + "\r\n",
       true, 300, page, url},
      {"no download page", "[Client]\nTime=7\nConfigUrl=" + url + "\n", true, 7, "", url},
      {"letters in Time read as 0", "[Client]\nTime=abc\nConfigUrl=" + url + "\n", true, 0, "", url},
      {"Time read like atoi", "[Client]\nTime=  -12x5\nConfigUrl=" + url + "\n", true, -12, "", url},
      {"key names ignore case", "[client]\ntime=42\nconfigurl=" + url + "\nDOWNLOADURL=" + page + "\n",
       true, 42, page, url},
      {"ConfigUrl cut to 254", "[Client]\nTime=1\nConfigUrl=" + longUrl + "\n", true, 1, "",
       longUrl.substr(0, 254)},
      {"DownloadUrl cut to 259", "[Client]\nTime=1\nDownloadUrl=" + longPage + "\nConfigUrl=" + url + "\n",
       true, 1, longPage.substr(0, 259), url},
      {"Time missing", "[Client]\nConfigUrl=" + url + "\n", false, 0, "", ""},
      {"Time empty", "[Client]\nTime=\nConfigUrl=" + url + "\n", false, 0, "", ""},
      {"ConfigUrl missing", "[Client]\nTime=5\nDownloadUrl=" + page + "\n", false, 5, page, ""},
      {"ConfigUrl empty", "[Client]\nTime=5\nConfigUrl=  \n", false, 5, "", ""},
      {"keys in another section", "[Other]\nTime=5\nConfigUrl=" + url + "\n", false, 0, "", ""},
      {"empty file", "", false, 0, "", ""},
  };
  for (const SettingsCase& c : cases) {
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
