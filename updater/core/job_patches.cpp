#include "updater/core/job_patches.h"

#include <windows.h>

#include "updater/core/install_paths.h"
#include "updater/core/install_restore.h"
#include "updater/transfer/cng.h"
#include "updater/transfer/download_client.h"
#include "updater/transfer/md5.h"
#include "updater/transfer/patch_file.h"

namespace {

// The patch whose base is the client's file, the smallest of them; null when
// none fits. The client's file is hashed only when some patch is offered.
const FilePatch* PatchForClientFile(const std::vector<FilePatch>& patches, const std::string& clientFile) {
  if (patches.empty() || !IsFile(clientFile)) return nullptr;
  const std::string baseSha256 = FileSha256Text(clientFile);
  const FilePatch* best = nullptr;
  for (const FilePatch& patch : patches) {
    if (HashMatches(baseSha256, patch.baseSha256) && (best == nullptr || patch.length < best->length)) {
      best = &patch;
    }
  }
  return best;
}

bool FileLengthIs(const std::string& path, uint64_t length) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  return ((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) == length;
}

// The checks of the download step, on the file the patch made.
bool MatchesListedDigests(const UpdateJob& job, const std::string& filePath, const std::string& path) {
  const std::string* md5 = job.FileHashMap.Find(filePath);
  const std::string* sha256 = job.FileSha256Map.Find(filePath);
  if (md5 == nullptr && sha256 == nullptr) return false;  // nothing would vouch for the result
  return (md5 == nullptr || HashMatches(FileMd5Text(path), *md5)) &&
         (sha256 == nullptr || HashMatches(FileSha256Text(path), *sha256));
}

}  // namespace

bool DownloadByPatch(UpdateJob& job, const std::string& filePath, const std::string& tempFile) {
  const auto listed = job.FilePatchMap.find(filePath);
  if (listed == job.FilePatchMap.end()) return false;
  if (!job.FileHashMap.Contains(filePath) && !job.FileSha256Map.Contains(filePath)) return false;
  const std::string patched = tempFile + install_paths::kPatchOutputSuffix;
  if (patched.size() > kMaxPathChars) return false;
  const FilePatch* patch = PatchForClientFile(listed->second, job.exeFolder + filePath);
  if (patch == nullptr) return false;

  // The patch comes down under the file's own temporary name, so that its row
  // shows the bytes really fetched; a fall-back download overwrites it.
  try {
    if (!job.DownloadFile(tempFile, patch->url)) return false;
  } catch (const TransferError&) {
    return false;
  }
  if (!FileLengthIs(tempFile, patch->length) || !HashMatches(FileSha256Text(tempFile), patch->sha256)) {
    return false;
  }
  const bool made = ApplyPatchFile(job.exeFolder + filePath, tempFile, patched) &&
                    MoveFileExA(patched.c_str(), tempFile.c_str(), MOVEFILE_REPLACE_EXISTING);
  if (!made) {
    DeleteFileA(patched.c_str());
    return false;
  }
  return MatchesListedDigests(job, filePath, tempFile);
}
