#pragma once
// The readers of the update manifest (HistoryVersionList.cfg). They read keys
// through a ProfileReader and fill the update's plan and its tables, FileUrlMap
// (FilePath -> URL), FileHashMap (FilePath -> MD5 text) and FileSha256Map
// (FilePath -> SHA-256 text); both digests merge by the same rule.
// They run on the worker thread, from the update check, in this order:
//   ReadRootHeader, ReadVersionIndex, then ReadSingleVersion or
//   ReadVersionRange when a release was selected.
// Each returns false at the first absent required key, leaving in the tables
// whatever it had already put there. None of them allocates per count read
// from the manifest: a huge count ends at the first absent key.

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "updater/base/profile_reader.h"
#include "updater/base/update_job_state.h"

namespace manifest {

// Read limits of the manifest's values, in bytes (buffer size minus one).
constexpr std::size_t kRootUrlLimit = 511;    // [Root] "DownloadUrl"
constexpr std::size_t kVersionLimit = 31;     // [Root] version keys and ver<i>
constexpr std::size_t kFilePathLimit = 127;   // "FileCount", FilePath<i>
constexpr std::size_t kFileUrlLimit = 259;    // FileUrl<i>, FileHashID<i>, FileSha256<i>

// [Root] "DownloadUrl" becomes plan.downloadPage (empty when absent); [Root]
// "CurrentVersionTime" is required and its atoi becomes plan.latestVersion.
bool ReadRootHeader(const ProfileReader& reader, UpdatePlan& plan);

// Where the installed release stands in the release list, and so which
// reader takes the file list next.
enum class ReleaseIndex {
  kUnreadable,  // a required key is absent: the run fails
  kNotListed,   // the installed release is not listed (or N <= 0): nothing selected
  kOneStep,     // one newer release: ReadSingleVersion
  kSeveralSteps,  // two or more newer releases: ReadVersionRange
};

// Whether index selected a release whose files are to be read.
inline bool IsSelected(ReleaseIndex index) {
  return index == ReleaseIndex::kOneStep || index == ReleaseIndex::kSeveralSteps;
}

// Reads "VersionCount" (into plan.versionCount) and "CurrentVersionNum", then
// walks the release list ver0, ver1, ... looking for installedVersion.
// On a match at index i: plan.installedIndex = i, ver<i+1> must exist, and
// kSeveralSteps when i < N - 2, else kOneStep. No match (or N <= 0):
// kNotListed with the tables untouched.
ReleaseIndex ReadVersionIndex(const ProfileReader& reader, int32_t installedVersion, UpdatePlan& plan);

// Exactly one newer release: reads the section named by plan.latestVersion
// printed in plain decimal.
bool ReadSingleVersion(const ProfileReader& reader, UpdatePlan& plan);

// Two or more newer releases: reads the sections named by ver<j>, as written,
// for j = installedIndex + 1 ... versionCount - 1, merging them in that order.
// Both readers fail, with the tables filled, when the list they leave holds a
// FilePath and its aside name (file_list_rules.h).
bool ReadVersionRange(const ProfileReader& reader, UpdatePlan& plan);

// The first FilePath of FileUrlMap whose aside name is listed too, and that
// name (file_list_rules.h); nothing when there is none.
std::optional<std::pair<std::string, std::string>> FindAsideNameClash(const UpdatePlan& plan);

// Whether every file of FileUrlMap has a FileSha256 of 64 hex digits (either
// case). A signed manifest must give one for each file: the signature vouches
// for the files only through their digests.
bool EveryFileHasSha256(const UpdatePlan& plan);

}  // namespace manifest
