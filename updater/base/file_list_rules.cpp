#include "updater/base/file_list_rules.h"

#include <unordered_map>

#include "updater/base/file_name_case.h"

namespace file_list_rules {

std::optional<std::pair<std::string, std::string>> FindAsideNameClash(
    const std::vector<std::string>& filePaths) {
  std::unordered_map<std::string, std::size_t> byName;
  byName.reserve(filePaths.size());
  for (std::size_t i = 0; i < filePaths.size(); ++i) byName.emplace(file_name_case::FoldGbk(filePaths[i]), i);
  for (const std::string& path : filePaths) {
    const auto aside = byName.find(file_name_case::FoldGbk(path + kAsideSuffix));
    if (aside != byName.end()) return std::make_pair(path, filePaths[aside->second]);
  }
  return std::nullopt;
}

}  // namespace file_list_rules
