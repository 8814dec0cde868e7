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

// The highest serial accepted before; 0 when there is no readable state file.
uint64_t HighestAcceptedSerial(const UpdateJobState& job) {
  UniqueFile file(CreateFileA(StatePath(job).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 0;
  char buffer[64];
  DWORD got = 0;
  if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return 0;
  return manifest_freshness::ParseStateFile(std::string(buffer, got));
}

}  // namespace

bool SignedManifestIsCurrent(UpdateJobState& job, const ProfileReader& manifest) {
  const manifest_freshness::Stamp stamp = manifest_freshness::ReadStamp(manifest);
  const uint64_t highest = HighestAcceptedSerial(job);
  const manifest_freshness::Verdict verdict = manifest_freshness::Judge(stamp, SystemClockSeconds(), highest);
  run_log::Event entry("freshness");
  entry.Add("serial", stamp.serial).Add("highest_accepted", highest);
  if (verdict != manifest_freshness::Verdict::kAccepted) return entry.Failed(VerdictText(verdict));
  job.acceptedSerial = stamp.serial;
  return true;
}

void RecordAcceptedSerial(const UpdateJobState& job) {
  if (job.manifestKeys.empty() || job.acceptedSerial <= HighestAcceptedSerial(job)) return;
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
