// The settings cases written to real files and read through
// GetPrivateProfileStringA, as the updater reads Upgrade.cfg.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/core/client_settings_cases.h"
#include "updater/core/client_settings.h"
#include "updater/base/profile_file_reader.h"

namespace {

using client_settings_cases::SettingsCase;
using client_settings_cases::SettingsCases;

// One file per case: the platform caches profile files by name.
std::string WriteScratch(const std::string& text, int serial) {
  char folder[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, folder);
  const std::string path = std::string(folder) + "torvane_settings_" +
                           std::to_string(GetCurrentProcessId()) + "_" + std::to_string(serial) +
                           ".cfg";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return std::string();
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written ? path : std::string();
}

bool HasDoubleByteText(const std::string& text) {
  for (unsigned char c : text)
    if (c >= 0x80) return true;
  return false;
}

TEST(ClientSettingsFile, ThePlatformReadsTheSameSettings) {
  int serial = 0;
  for (const SettingsCase& c : SettingsCases()) {
    // Double-byte text keeps its bytes only in code page 936.
    if (GetACP() != 936 && HasDoubleByteText(c.ini)) continue;
    const std::string path = WriteScratch(c.ini, ++serial);
    ASSERT_FALSE(path.empty()) << c.name;
    UpdateJobState state;
    EXPECT_EQ(ReadClientSection(ProfileFileReader(path), state), c.ok) << c.name;
    EXPECT_EQ(state.installedVersion, c.installedVersion) << c.name;
    EXPECT_EQ(state.downloadUrl, c.downloadUrl) << c.name;
    EXPECT_EQ(state.configUrl, c.configUrl) << c.name;
    DeleteFileA(path.c_str());
  }
}

TEST(ClientSettingsFile, AMissingFileHasNoSettings) {
  UpdateJobState state;
  EXPECT_FALSE(ReadClientSection(ProfileFileReader("C:\\no\\such\\folder\\Upgrade.cfg"), state));
  EXPECT_TRUE(state.configUrl.empty());
}

}  // namespace
