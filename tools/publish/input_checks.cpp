#include "tools/publish/input_checks.h"

#include <unistd.h>

#include <curl/curl.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

#include "updater/base/file_name_rules.h"
#include "updater/base/text_rules.h"
#include "updater/core/install_journal.h"
#include "updater/core/install_paths.h"

namespace publish {
namespace {

namespace fs = std::filesystem;

struct UrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlText {
  char* text = nullptr;
  ~CurlText() { curl_free(text); }
};

bool HasPart(CURLU* url, CURLUPart part) {
  CurlText value;
  return curl_url_get(url, part, &value.text, 0) == CURLUE_OK && value.text && value.text[0];
}

bool SameName(const std::string& a, const char* b) { return EqualsIgnoreAsciiCaseMb(a, b); }

bool IsShortNameLike(const std::string& name) {
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    if (name[i] != '~' || name[i + 1] < '0' || name[i + 1] > '9') continue;
    std::size_t j = i + 1;
    while (j < name.size() && name[j] >= '0' && name[j] <= '9') ++j;
    if (j == name.size() || name[j] == '.') return true;
  }
  return false;
}

std::string SegmentRuleBroken(const std::string& name, bool first, bool only) {
  if (name.empty() || name == "." || name == "..") return "an empty, \".\" or \"..\" name";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return "a control character in a name";
    if (std::string("<>:\"/\\|?*").find(static_cast<char>(c)) != std::string::npos) {
      return std::string("the character ") + static_cast<char>(c) +
             ", which Windows does not allow in a name";
    }
  }
  if (name.back() == '.' || name.back() == ' ') {
    return "a name ending in a dot or space (\"" + name + "\"), which Windows drops";
  }
  if (IsDeviceName(name)) return "the device name \"" + name + "\" (CON, NUL, COM1 and such name devices)";
  if (IsShortNameLike(name)) {
    return "\"" + name + "\" looks like a short name (NAME~1), which may stand for another file";
  }
  if (first &&
      (SameName(name, install_paths::kTempFolderName) || SameName(name, install_paths::kBackupFolderName) ||
       SameName(name, install_journal::kFileName))) {
    return "\"" + name + "\" is the name of one of the updater's own work folders";
  }
  if (only &&
      (SameName(name, install_paths::kHistoryFileName) || SameName(name, install_paths::kSignatureFileName) ||
       SameName(name, install_paths::kSettingsFileName) ||
       SameName(name, install_paths::kSerialStateFileName) ||
       SameName(name, install_paths::kSerialStateNewName))) {
    return "\"" + name + "\" is the name of one of the updater's own files";
  }
  return std::string();
}

}  // namespace

std::string BaseUrlProblem(const std::string& url) {
  std::unique_ptr<CURLU, UrlFree> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return "not a URL libcurl can parse";
  }
  CurlText scheme;
  curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme.text, 0);
  const std::string schemeText = scheme.text ? scheme.text : "";
  if (schemeText != "http" && schemeText != "https") return "the scheme must be http or https";
  // libcurl reads "http:///x" leniently as host x; the updater would not.
  const std::size_t authority = url.find("://");
  if (!HasPart(parsed.get(), CURLUPART_HOST) || authority == std::string::npos || url[authority + 3] == '/') {
    return "it names no host";
  }
  if (HasPart(parsed.get(), CURLUPART_USER))
    return "it carries a user name, which the updater would not send";
  if (HasPart(parsed.get(), CURLUPART_QUERY)) return "it has a query (?...); file names are appended to it";
  if (HasPart(parsed.get(), CURLUPART_FRAGMENT))
    return "it has a fragment (#...); file names are appended to it";
  return std::string();
}

std::string WritableFolderProblem(const std::string& folder) {
  std::error_code ec;
  fs::path at = fs::absolute(folder.empty() ? fs::path(".") : fs::path(folder), ec);
  while (!ec && !fs::exists(at, ec) && at.has_parent_path() && at.parent_path() != at) at = at.parent_path();
  if (ec) return "cannot be examined: " + ec.message();
  if (!fs::is_directory(at, ec)) return at.string() + " is not a folder";
  if (::access(at.c_str(), W_OK | X_OK) != 0) return "no file can be created in " + at.string();
  return std::string();
}

std::string NameRuleBroken(const std::string& relative) {
  std::vector<std::string> parts;
  std::stringstream split(relative);
  for (std::string part; std::getline(split, part, '/');) parts.push_back(part);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string broken = SegmentRuleBroken(parts[i], i == 0, parts.size() == 1);
    if (!broken.empty()) return broken;
  }
  return "a name the updater cannot read back as itself in code page 936";
}

}  // namespace publish
