#pragma once
// Rules for a release's whole file list, beyond those for each FilePath
// alone. The updater refuses a merged list that breaks one as a malformed
// manifest; the publisher tool refuses to write such a list.

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "updater/base/update_limits.h"

namespace file_list_rules {

// The name a destination in use is moved to, so that its new file can take
// its place: destination + kAsideSuffix.
constexpr char kAsideSuffix[] = ".bak";

// The most files one installation takes. Every file adds records to the
// install journal, which a later start reads only up to a fixed length; a
// longer list would leave a completed run's commit unread and have it partly
// rolled back. The journal's tests check that this many files fit.
constexpr std::size_t kMaxInstallFiles = update_limits::kMaxFilesPerUpdate;

// A FilePath and the FilePath that is its aside name (X and X.bak), compared
// as the file system compares names (file_name_case). Moving X aside would replace the X.bak that the
// same run installed with the old X. The first such pair in list order (the
// FilePath, then its aside name as listed), or nothing.
std::optional<std::pair<std::string, std::string>> FindAsideNameClash(
    const std::vector<std::string>& filePaths);

}  // namespace file_list_rules
