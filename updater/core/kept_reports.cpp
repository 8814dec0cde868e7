#include "updater/core/kept_reports.h"

#include <windows.h>

#include "updater/base/scoped_handle.h"

namespace {

std::string KeptPath(const std::string& exeFolder) { return exeFolder + kKeptReportsFileName; }

}  // namespace

outcome_report::Kept LoadKeptReports(const std::string& exeFolder) {
  UniqueFile file(CreateFileA(KeptPath(exeFolder).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return outcome_report::Kept();
  std::string bytes(outcome_report::kMaxKeptFileBytes, '\0');
  DWORD read = 0;
  if (!ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) read = 0;
  bytes.resize(read);
  return outcome_report::ParseKept(bytes);
}

bool SaveKeptReports(const std::string& exeFolder, const outcome_report::Kept& kept) {
  const std::string path = KeptPath(exeFolder);
  const std::string fresh = path + ".new";
  const std::string text = outcome_report::FormatKept(kept);
  {
    UniqueFile file(CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!file) return false;
    DWORD written = 0;
    // Flushed before the rename: a power cut must not leave a renamed empty file.
    if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size() || !FlushFileBuffers(file.get())) {
      file.reset();
      DeleteFileA(fresh.c_str());
      return false;
    }
  }
  if (MoveFileExA(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  DeleteFileA(fresh.c_str());
  return false;
}

void KeepReportUrl(const std::string& exeFolder, const ProfileReader& manifest) {
  outcome_report::Kept kept = LoadKeptReports(exeFolder);
  const std::string url = outcome_report::ReadReportUrl(manifest);
  if (url == kept.url) return;
  kept.url = url;
  SaveKeptReports(exeFolder, kept);
}
