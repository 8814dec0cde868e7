#pragma once
// Upgrade.cfg texts and what the updater must read from them; shared by the
// native tests (in-memory reader) and the Wine tests (the platform's reader).

#include <cstdint>
#include <string>
#include <vector>

namespace client_settings_cases {

struct SettingsCase {
  const char* name;
  std::string ini;
  bool ok;
  int32_t installedVersion;
  std::string downloadUrl;
  std::string configUrl;
};

inline std::vector<SettingsCase> SettingsCases() {
  const std::string url = "http://127.0.0.1/list.cfg";
  const std::string page = "http://example.test/download";
  const std::string longUrl = "http://h/" + std::string(291, 'c');   // 300 characters
  const std::string longPage = "http://p/" + std::string(311, 'p');  // 320 characters
  // A double-byte character ("中" in code page 936) across the 259th byte.
  const std::string splitPage = "http://p/" + std::string(249, 'p') + "\xd6\xd0" + "x";
  return {
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
      {"DownloadUrl never cut inside a character",
       "[Client]\nTime=1\nDownloadUrl=" + splitPage + "\nConfigUrl=" + url + "\n", true, 1,
       splitPage.substr(0, 258), url},
      {"blanks and quotes around values", "[Client]\nTime = 9 \nConfigUrl= \"" + url + "\" \n",
       true, 9, "", url},
      {"double-byte Time reads as 0", "[Client]\nTime=\xd6\xd0\nConfigUrl=" + url + "\n", true, 0,
       "", url},
      {"Time missing", "[Client]\nConfigUrl=" + url + "\n", false, 0, "", ""},
      {"Time empty", "[Client]\nTime=\nConfigUrl=" + url + "\n", false, 0, "", ""},
      {"ConfigUrl missing", "[Client]\nTime=5\nDownloadUrl=" + page + "\n", false, 5, page, ""},
      {"ConfigUrl empty", "[Client]\nTime=5\nConfigUrl=  \n", false, 5, "", ""},
      {"keys in another section", "[Other]\nTime=5\nConfigUrl=" + url + "\n", false, 0, "", ""},
      {"empty file", "", false, 0, "", ""},
  };
}

}  // namespace client_settings_cases
