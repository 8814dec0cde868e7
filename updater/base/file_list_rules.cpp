#include "updater/base/file_list_rules.h"

#include <unordered_map>

#include "updater/base/text_rules.h"

namespace file_list_rules {
namespace {

// One spelling per name as the file system sees it: ASCII letters lowered,
// double-byte characters (whose trail byte may look like a letter) kept.
std::string FoldedName(const std::string& path) {
  std::string folded = path;
  for (std::size_t i = 0; i < folded.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(folded[i]);
    if (IsGbkLeadByte(c) && i + 1 < folded.size()) {
      ++i;
    } else if (c >= 'A' && c <= 'Z') {
      folded[i] = static_cast<char>(c - 'A' + 'a');
    }
  }
  return folded;
}

}  // namespace

std::optional<std::pair<std::string, std::string>> FindAsideNameClash(
    const std::vector<std::string>& filePaths) {
  std::unordered_map<std::string, std::size_t> byName;
  byName.reserve(filePaths.size());
  for (std::size_t i = 0; i < filePaths.size(); ++i) byName.emplace(FoldedName(filePaths[i]), i);
  for (const std::string& path : filePaths) {
    const auto aside = byName.find(FoldedName(path + kAsideSuffix));
    if (aside != byName.end()) return std::make_pair(path, filePaths[aside->second]);
  }
  return std::nullopt;
}

}  // namespace file_list_rules
