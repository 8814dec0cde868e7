#include "updater/core/partial_cache_folder.h"

#include <windows.h>

#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/core/download_queue.h"
#include "updater/core/job_patches.h"
#include "updater/core/partial_cache_rules.h"
#include "updater/core/update_job.h"

namespace {

int64_t Seconds(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime) /
                              10000000u);
}

}  // namespace

void PruneKeptDownloads(const std::string& partialFolder, const std::vector<std::string>* continuable) {
  std::vector<partial_cache::FolderFile> files;
  WIN32_FIND_DATAA entry;
  UniqueFind find(FindFirstFileA((partialFolder + "\\*").c_str(), &entry));
  if (!find) return;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      files.push_back({entry.cFileName, Seconds(entry.ftLastWriteTime)});
  } while (FindNextFileA(find.get(), &entry));
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  // Which entries are of use is known only with the table.
  const std::size_t keepAtMost = continuable != nullptr ? kTransfersAtOnce + kFilesAhead : files.size();
  const std::vector<std::string> names =
      partial_cache::NamesToPrune(files, Seconds(now), continuable, keepAtMost);
  if (names.empty()) return;
  for (const std::string& name : names) DeleteFileA((partialFolder + "\\" + name).c_str());
  run_log::Event("partial_cache_pruned").Add("files", names.size()).Add("table_known", continuable != nullptr);
}

std::vector<std::string> ContinuableKeys(const UpdateJob& job) {
  std::vector<std::string> keys;
  for (const auto& [filePath, url] : job.FileUrlMap) {
    FetchPlan plan;
    plan.url = url;
    plan.md5Expected = job.FileHashMap.Find(filePath);
    plan.sha256Expected = job.FileSha256Map.Find(filePath);
    if (plan.md5Expected != nullptr || plan.sha256Expected != nullptr) keys.push_back(PartialKeyFor(plan));
    const auto patches = job.FilePatchMap.find(filePath);
    if (patches == job.FilePatchMap.end()) continue;
    for (const FilePatch& patch : patches->second) keys.push_back(PartialKeyFor(PatchPlanFor(plan, patch)));
  }
  return keys;
}
