#include "updater/core/kept_journals.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/core/install_paths.h"
#include "updater/core/work_folders.h"

namespace kept_journals {
namespace {

// Four digits at most: "TorvaneKept\9999" is no longer than "TempBackUpFolder",
// so whatever fitted in the work folder fits in its set, and can be deleted.
constexpr unsigned kLastNumber = 9999;
static_assert(sizeof install_paths::kKeptFolderName + 4 <= sizeof install_paths::kBackupFolderName,
              "a set's name must be no longer than the backup folder's");

struct KeptSet {
  unsigned number = 0;
  std::uint64_t bytes = 0;
};

// What the files below folder hold; links are not followed.
std::uint64_t BytesIn(const std::string& folder) {
  std::uint64_t bytes = 0;
  WIN32_FIND_DATAA entry;
  UniqueFind find(FindFirstFileA((folder + "\\*").c_str(), &entry));
  if (!find) return bytes;
  do {
    const std::string name = entry.cFileName;
    if (name == "." || name == ".." || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      bytes += BytesIn(folder + "\\" + name);
    } else {
      bytes += (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    }
  } while (FindNextFileA(find.get(), &entry));
  return bytes;
}

// The number a set's name gives, or 0 when the name is not a set's.
unsigned SetNumber(const std::string& name) {
  if (name.empty() || name.size() > 4 || name[0] == '0') return 0;
  unsigned number = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  return number;
}

// The sets in the set-aside folder, oldest first.
std::vector<KeptSet> ListSets(const std::string& keptFolder) {
  std::vector<KeptSet> sets;
  WIN32_FIND_DATAA entry;
  UniqueFind find(FindFirstFileA((keptFolder + "\\*").c_str(), &entry));
  if (!find) return sets;
  do {
    const unsigned number = SetNumber(entry.cFileName);
    if (number == 0 || !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      continue;
    }
    sets.push_back({number, BytesIn(keptFolder + "\\" + entry.cFileName)});
  } while (FindNextFileA(find.get(), &entry));
  std::sort(sets.begin(), sets.end(), [](const KeptSet& a, const KeptSet& b) { return a.number < b.number; });
  return sets;
}

void DropSet(const std::string& keptFolder, const KeptSet& set, const char* why) {
  run_log::Event dropped("kept_journal_dropped");
  dropped.Add("set", keptFolder + "\\" + std::to_string(set.number)).Add("bytes", set.bytes).Add("why", why);
  if (!DeleteWorkFolder(keptFolder + "\\" + std::to_string(set.number))) dropped.Failed("delete");
}

}  // namespace

bool SetJournalAside(const RunPaths& paths, const char* reason, std::string& setPath) {
  const std::string keptFolder = paths.exeFolder + install_paths::kKeptFolderName;
  run_log::Event event("journal_set_aside");
  event.Add("reason", reason);
  if (!CreateFolderPath(keptFolder)) return event.Error(GetLastError()).Failed("set-aside folder");
  std::vector<KeptSet> sets = ListSets(keptFolder);
  unsigned number = sets.empty() ? 1 : sets.back().number + 1;
  if (number > kLastNumber) {
    // The numbers start again once no set is left to be taken for a newer one.
    for (const KeptSet& set : sets) DropSet(keptFolder, set, "numbering");
    sets.clear();
    number = 1;
  }
  setPath = keptFolder + "\\" + std::to_string(number);
  const std::uint64_t bytes = BytesIn(paths.backupFolder);
  event.Add("set", setPath).Add("bytes", bytes);
  // One rename moves the journal and its backups together.
  if (!MoveFileExA(paths.backupFolder.c_str(), setPath.c_str(), 0))
    return event.Error(GetLastError()).Failed("move");
  event.Write();
  std::uint64_t total = bytes;
  for (const KeptSet& set : sets) total += set.bytes;
  std::size_t count = sets.size() + 1;
  for (const KeptSet& set : sets) {
    if (count <= static_cast<std::size_t>(kMaxSets) && total <= kMaxBytes) break;
    DropSet(keptFolder, set, count > static_cast<std::size_t>(kMaxSets) ? "count" : "size");
    total -= set.bytes;
    --count;
  }
  return true;
}

}  // namespace kept_journals
