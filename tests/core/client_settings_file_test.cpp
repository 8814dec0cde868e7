// The settings cases written to real files and read through
// GetPrivateProfileStringA, as the updater reads Upgrade.cfg.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/core/client_settings_cases.h"
#include "tests/support/win_test_files.h"
#include "updater/core/client_settings.h"
#include "updater/base/profile_file_reader.h"

namespace {

using client_settings_cases::SettingsCase;
using client_settings_cases::SettingsCases;
using namespace win_test;

bool HasDoubleByteText(const std::string& text) {
  for (unsigned char c : text)
    if (c >= 0x80) return true;
  return false;
}

TEST(ClientSettingsFile, ThePlatformReadsTheSameSettings) {
  // One file per case: the platform caches profile files by name.
  TempFiles files("torvane_settings");
  int serial = 0;
  for (const SettingsCase& c : SettingsCases()) {
    // Double-byte text keeps its bytes only in code page 936.
    if (GetACP() != 936 && HasDoubleByteText(c.ini)) continue;
    const std::string path = files.Write(std::to_string(++serial) + ".cfg", c.ini);
    UpdateJobState state;
    EXPECT_EQ(ReadClientSection(ProfileFileReader(path), state), c.ok) << c.name;
    EXPECT_EQ(state.installedVersion, c.installedVersion) << c.name;
    EXPECT_EQ(state.downloadUrl, c.downloadUrl) << c.name;
    EXPECT_EQ(state.configUrl, c.configUrl) << c.name;
  }
}

TEST(ClientSettingsFile, AMissingFileHasNoSettings) {
  UpdateJobState state;
  EXPECT_FALSE(ReadClientSection(ProfileFileReader("C:\\no\\such\\folder\\Upgrade.cfg"), state));
  EXPECT_TRUE(state.configUrl.empty());
}

}  // namespace
