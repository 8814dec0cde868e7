#include "updater/core/manifest_freshness_check.h"

#include <windows.h>

#include "updater/base/manifest_freshness.h"
#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/core/install_paths.h"

namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochInFileTime = 116444736000000000ull;

int64_t SystemClockSeconds() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<int64_t>((ticks - kUnixEpochInFileTime) / 10000000ull);
}

const char* VerdictText(manifest_freshness::Verdict verdict) {
  switch (verdict) {
    case manifest_freshness::Verdict::kMissing:
      return "no Expires or Serial";
    case manifest_freshness::Verdict::kExpired:
      return "expired";
    case manifest_freshness::Verdict::kRolledBack:
      return "serial lower than one accepted before";
    case manifest_freshness::Verdict::kAccepted:
      break;
  }
  return "accepted";
}

std::string StatePath(const UpdateJobState& job) {
  return job.exeFolder + install_paths::kSerialStateFileName;
}

// The highest serial accepted before: 0 when there is no state file. False
// when one exists but cannot be read as a serial (damaged, locked, a folder):
// reading it as 0 would accept any older manifest again.
bool ReadHighestAcceptedSerial(const UpdateJobState& job, uint64_t& highest) {
  highest = 0;
  const std::string path = StatePath(job);
  UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) &&
           GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
  }
  char buffer[64];
  DWORD got = 0;
  if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) || got == sizeof buffer) return false;
  return manifest_freshness::ParseStateFile(std::string(buffer, got), highest);
}

}  // namespace

bool SignedManifestIsCurrent(UpdateJobState& job, const ProfileReader& manifest) {
  const manifest_freshness::Stamp stamp = manifest_freshness::ReadStamp(manifest);
  uint64_t highest = 0;
  const bool stateRead = ReadHighestAcceptedSerial(job, highest);
  run_log::Event entry("freshness");
  entry.Add("serial", stamp.serial);
  if (!stateRead) return entry.Failed("serial state file unreadable");
  entry.Add("highest_accepted", highest);
  const manifest_freshness::Verdict verdict = manifest_freshness::Judge(stamp, SystemClockSeconds(), highest);
  if (verdict != manifest_freshness::Verdict::kAccepted) return entry.Failed(VerdictText(verdict));
  job.acceptedSerial = stamp.serial;
  return true;
}

void RecordAcceptedSerial(const UpdateJobState& job) {
  uint64_t highest = 0;
  if (job.manifestKeys.empty() || !ReadHighestAcceptedSerial(job, highest) || job.acceptedSerial <= highest)
    return;
  // Written beside the state file and renamed over it, so that a cut leaves
  // the old serial or the new one, never a part that reads as none.
  const std::string path = StatePath(job);
  const std::string temporary = job.exeFolder + install_paths::kSerialStateNewName;
  const std::string text = manifest_freshness::FormatStateFile(job.acceptedSerial);
  {
    UniqueFile file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size() || !FlushFileBuffers(file.get())) {
      file.reset();
      DeleteFileA(temporary.c_str());
      return;
    }
  }
  if (!MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileA(temporary.c_str());
  }
}
