#include "updater/core/update_file_fetch.h"

#include <windows.h>

#include <optional>
#include <vector>

#include "updater/base/hex_text.h"
#include "updater/base/run_log.h"
#include "updater/core/install_paths.h"
#include "updater/core/install_restore.h"
#include "updater/core/partial_cache_rules.h"
#include "updater/core/update_job.h"
#include "updater/transfer/cng.h"
#include "updater/transfer/md5.h"

namespace {

std::optional<std::string> ReadSmallFile(const std::string& path) {
  UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  char buffer[1024];
  DWORD read = 0;
  if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) return std::nullopt;
  return std::string(buffer, read);
}

bool WriteSmallFile(const std::string& path, const std::string& text) {
  UniqueFile file(
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

// Feeds the first kept bytes of the held file to sink; false on a read error
// or a cancel, which a large kept body must not hold up.
bool HashKeptBytes(HANDLE file, int64_t kept, DownloadSink& sink, const DownloadClient& client) {
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  std::vector<char> buffer(64 * 1024);
  while (kept > 0) {
    if (client.cancelled()) return false;
    const DWORD want = kept < static_cast<int64_t>(buffer.size()) ? static_cast<DWORD>(kept)
                                                                  : static_cast<DWORD>(buffer.size());
    DWORD read = 0;
    if (!ReadFile(file, buffer.data(), want, &read, nullptr) || read == 0) return false;
    sink.Add(buffer.data(), read);
    kept -= read;
  }
  return true;
}

// Takes up what an earlier run kept of this body, when its record is sound
// and the kept bytes are no longer than the body. The last byte is always
// fetched again, so that the server still confirms the validator.
void TakeUpKeptBody(const std::string& partPath, const std::string& headPath, FileDownload& download,
                    DownloadSink& sink, const DownloadClient& client) {
  const std::optional<std::string> text = ReadSmallFile(headPath);
  const std::optional<partial_cache::Head> head = text ? partial_cache::ParseHead(*text) : std::nullopt;
  if (!head || head->total > download.maxLength) return;
  HeldFile file = HeldFile::Open(partPath);
  if (!file) return;
  const int64_t size = file.Size();
  if (size <= 0 || size > head->total) return;
  const int64_t kept = size < head->total ? size : head->total - 1;
  if (kept <= 0 || !HashKeptBytes(file.get(), kept, sink, client)) {
    sink.Restart();
    return;
  }
  run_log::Event("partial_cache").Add("file", partPath).Add("kept", kept).Add("total", head->total);
  download.file = std::move(file);
  download.kept = kept;
  download.total = head->total;
  download.validator = head->validator;
}

// Passes the reports on, and writes the cache record whenever an answer
// starts or restarts the body, before any of its bytes are written.
class RecordingProgress : public DownloadProgress {
 public:
  RecordingProgress(DownloadProgress* next, const FileDownload& download, std::string headPath)
      : next_(next), download_(download), headPath_(std::move(headPath)) {}

  void Started(int32_t announcedLength, int32_t step) override {
    if (!headPath_.empty() &&
        (download_.total != written_.total || download_.validator != written_.validator)) {
      written_ = {download_.total, download_.validator};
      // Without a validator nothing can be continued: no record.
      if (download_.validator.empty() || !WriteSmallFile(headPath_, partial_cache::FormatHead(written_))) {
        DeleteFileA(headPath_.c_str());
      }
    }
    if (next_ != nullptr) next_->Started(announcedLength, step);
  }
  void Received(int32_t bytesSoFar) override {
    if (next_ != nullptr) next_->Received(bytesSoFar);
  }
  void Finished(int32_t bytes) override {
    if (next_ != nullptr) next_->Finished(bytes);
  }

 private:
  DownloadProgress* next_;
  const FileDownload& download_;
  std::string headPath_;
  partial_cache::Head written_;
};

enum class WriteOver { Done, NotOpened, Cut };

// Writes the whole held file over destination, if destination can be opened
// for writing by no one else, or to a new destination (a rename cannot reach
// another volume, behind a junction); flushed, and its identity taken. Cut
// once the destination is open: it then holds part of the file, or nothing.
WriteOver WriteOverThroughHandle(HANDLE file, const std::string& destination,
                                 install_journal::PlacedFile& identity) {
  ClearReadOnly(destination);
  UniqueFile out(CreateFileA(destination.c_str(), GENERIC_WRITE, 0, nullptr,
                             IsFile(destination) ? TRUNCATE_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
  if (!out) return WriteOver::NotOpened;
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return WriteOver::Cut;
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
      return WriteOver::Cut;
    if (read == 0) break;
    DWORD written = 0;
    if (!WriteFile(out.get(), buffer.data(), read, &written, nullptr) || written != read)
      return WriteOver::Cut;
  }
  return FlushFileBuffers(out.get()) && IdentifyPlacedFile(out.get(), identity) ? WriteOver::Done
                                                                                : WriteOver::Cut;
}

}  // namespace

struct DigestSink::State {
  bool cngLoaded = false;
  bool sha256Ok = false;
  CngLibrary cng;
  std::unique_ptr<Md5Context> md5;
  std::unique_ptr<CngLibrary::Hasher> sha256;
};

DigestSink::DigestSink(bool wantSha256) : state_(std::make_unique<State>()) {
  state_->cngLoaded = wantSha256 && state_->cng.Load();
  Restart();
}

DigestSink::~DigestSink() = default;

void DigestSink::Restart() {
  state_->md5 = std::make_unique<Md5Context>();
  state_->sha256.reset();
  state_->sha256Ok = state_->cngLoaded;
  if (state_->cngLoaded) state_->sha256 = std::make_unique<CngLibrary::Hasher>(state_->cng);
}

void DigestSink::Add(const char* data, std::size_t size) {
  state_->md5->Update(data, size);
  if (state_->sha256 && state_->sha256Ok) state_->sha256Ok = state_->sha256->Update(data, size);
}

std::string DigestSink::Md5Text() {
  state_->md5->Final();
  unsigned char digest[16];
  state_->md5->GetDigest(digest);
  return FormatDigest(digest);
}

std::string DigestSink::Sha256Text() {
  Sha256Digest digest;
  if (!state_->sha256 || !state_->sha256Ok || !state_->sha256->Finish(digest)) return std::string();
  return EncodeHex(digest.data(), digest.size());
}

std::vector<FetchPlan> PlanUpdateDownloads(const UpdateJob& job) {
  const std::string partialFolder = job.exeFolder + install_paths::kPartialFolderName;
  std::vector<FetchPlan> plans;
  std::vector<std::string> keys;
  for (const auto& [filePath, url] : job.FileUrlMap) {
    FetchPlan plan;
    plan.filePath = filePath;
    plan.url = url;
    plan.tempFile = job.tempFolder + filePath;
    plan.partialFolder = partialFolder;
    plan.md5Expected = job.FileHashMap.Find(filePath);
    plan.sha256Expected = job.FileSha256Map.Find(filePath);
    keys.push_back(PartialKeyFor(plan));
    const auto patches = job.FilePatchMap.find(filePath);
    if (patches != job.FilePatchMap.end()) {
      plan.clientFile = job.exeFolder + filePath;
      plan.patches = &patches->second;
      // A patch cut by a failed run is continued like any other download.
      for (const FilePatch& patch : patches->second) keys.push_back(PartialKeyFor(PatchPlanFor(plan, patch)));
    }
    plans.push_back(std::move(plan));
  }
  PrunePartialFolder(partialFolder, &keys);
  return plans;
}

FetchPlan PatchPlanFor(const FetchPlan& plan, const FilePatch& patch) {
  FetchPlan patchPlan;
  patchPlan.filePath = plan.filePath;
  patchPlan.url = patch.url;
  patchPlan.tempFile = plan.tempFile;
  patchPlan.partialFolder = plan.partialFolder;
  patchPlan.sha256Expected = &patch.sha256;
  patchPlan.maxLength = static_cast<int64_t>(patch.length);
  return patchPlan;
}

std::string PartialKeyFor(const FetchPlan& plan) {
  return partial_cache::EntryKey(plan.url, plan.md5Expected ? *plan.md5Expected : std::string(),
                                 plan.sha256Expected ? *plan.sha256Expected : std::string());
}

bool FetchUpdateFile(DownloadClient& client, const FetchPlan& plan, DownloadProgress* progress,
                     FetchedFile& out) {
  // SHA-256 costs as much as the rest of the install: only when the manifest
  // lists it, or lists no digest the install journal could record.
  DigestSink digests(plan.sha256Expected != nullptr || plan.md5Expected == nullptr);
  out.download.maxLength = plan.maxLength;
  out.download.sink = &digests;

  // A bz2 URL names the file its body is stored as, beside the temporary
  // file; the file the manifest names then never arrives.
  const std::optional<std::string> target = DownloadTarget(plan.tempFile, plan.url, Bz2Target::UrlName);
  if (!target) return false;
  if (*target != plan.tempFile) {
    client.DownloadFile(plan.tempFile, plan.url, progress, kInstallFileMaxBytes, Bz2Target::UrlName);
    return false;
  }

  const std::string key = PartialKeyFor(plan);
  const std::string part = plan.partialFolder + "\\" + key + partial_cache::kPartSuffix;
  const bool cached = part.size() <= kMaxPathChars && CreateFolderPath(plan.partialFolder);
  if (cached) {
    out.download.path = part;
    out.headPath = plan.partialFolder + "\\" + key + partial_cache::kHeadSuffix;
    TakeUpKeptBody(part, out.headPath, out.download, digests, client);
    if (client.cancelled()) return false;  // the kept bytes stay for the next run
    // Nothing taken up: the old bytes go before a new record can name them,
    // and an entry someone else holds leaves this file to this run alone.
    if (!out.download.file) out.download.file = HeldFile::Create(part);
  }
  if (!out.download.file) {
    if (cached) {
      run_log::Event("partial_cache").Add("file", part).Error(GetLastError()).Failed("entry in use");
    }
    out.headPath.clear();
    out.download.path = plan.tempFile;  // no room for the cache: this run only
    if (!CreateFolderOf(plan.tempFile)) return false;
  }

  RecordingProgress recording(progress, out.download, out.headPath);
  const bool fetched = client.Fetch(out.download, plan.url, &recording);
  out.download.sink = nullptr;
  if (!fetched) {
    // What arrived is kept for the next run; an entry that holds nothing
    // would only leave an empty file in the client folder.
    if (out.download.file && out.download.file.Size() == 0) {
      out.download.file.DeleteOnClose();
      if (!out.headPath.empty()) DeleteFileA(out.headPath.c_str());
    }
    out.download.file.reset();
    return false;
  }
  out.md5Text = digests.Md5Text();
  out.sha256Text = digests.Sha256Text();
  out.ok = true;
  return true;
}

bool CreateFolderOf(const std::string& file) {
  // Each try that loses a race still leaves one more level made: a folder
  // that another thread made meanwhile is as good as one made here.
  const std::string folder = install_paths::ParentPath(file);
  for (int tries = 0; tries < 32; ++tries) {
    if (IsFolder(folder) || CreateFolderPath(folder)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

void DropFetchedFile(FetchedFile& file) {
  if (file.download.file) {
    file.download.file.DeleteOnClose();
    file.download.file.reset();
  }
  if (!file.headPath.empty()) DeleteFileA(file.headPath.c_str());
}

void PrunePartialFolder(const std::string& partialFolder, const std::vector<std::string>* keys) {
  WIN32_FIND_DATAA entry;
  UniqueFind find(FindFirstFileA((partialFolder + "\\*").c_str(), &entry));
  if (find) {
    do {
      const std::string name = entry.cFileName;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      const std::optional<std::string> key = partial_cache::KeyOfName(name);
      bool named = false;
      if (key && keys != nullptr) {
        for (const std::string& wanted : *keys) named = named || wanted == *key;
      }
      // Only names the cache makes are ever deleted.
      if (key && !named) DeleteFileA((partialFolder + "\\" + name).c_str());
    } while (FindNextFileA(find.get(), &entry));
  }
  if (keys == nullptr) RemoveDirectoryA(partialFolder.c_str());
}

bool PlaceHeldFile(FileDownload& download, const std::string& destination, const std::string& tempFile,
                   const std::function<bool()>& beforeAside, const std::function<bool()>& afterAside,
                   Placement& placement) {
  HeldFile& held = download.file;
  HANDLE file = held.get();
  if (file == nullptr || IsFolder(destination)) return false;
  // No rename may publish the file before its bytes are on disk: after a
  // power cut the name could otherwise hold the right length of zeros.
  if (!FlushFileBuffers(file)) return false;
  bool atTempName = false;
  WriteOver wrote = WriteOver::NotOpened;
  auto writeOver = [&] {
    // A copy cut by a kill is known by the file it came from.
    atTempName = atTempName || held.RenameTo(tempFile, true);
    if (atTempName) wrote = WriteOverThroughHandle(file, destination, placement.identity);
    return wrote == WriteOver::Done;
  };
  bool renamed = !IsFile(destination) && held.RenameTo(destination, false);
  bool placed = renamed || writeOver();
  if (!placed && wrote == WriteOver::NotOpened) {
    // A file in use cannot be overwritten but can usually be renamed: it
    // stays beside the new one as .bak until a later update replaces it.
    if (beforeAside && !beforeAside()) return false;
    const std::string aside = destination + ".bak";
    if (!IsFolder(aside)) {
      ClearReadOnly(aside);
      DeleteFileA(aside.c_str());
      if (MoveFileExA(destination.c_str(), aside.c_str(), 0) && afterAside && !afterAside()) return false;
    }
    renamed = !IsFile(destination) && held.RenameTo(destination, false);
    placed = renamed || writeOver();
  }
  placement.cutOver = wrote == WriteOver::Cut;
  if (!placed) return false;
  if (!renamed) {
    // Its bytes were copied: the downloaded file itself goes when it closes.
    held.DeleteOnClose();
  }
  const bool identified = !renamed || IdentifyPlacedFile(file, placement.identity);
  download.file.reset();
  placement.renamed = renamed;
  return identified;
}
