#include "updater/core/partial_cache_folder.h"

#include <windows.h>

#include <optional>

#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/core/download_queue.h"
#include "updater/core/work_folders.h"

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

// Flushed, so that a record that vouches for fewer bytes than the one before
// is on the disk before any byte past them changes.
bool WriteSmallFile(const std::string& path, const std::string& text) {
  UniqueFile file(
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size() && FlushFileBuffers(file.get());
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

int64_t Seconds(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime) /
                              10000000u);
}

// The files of the folder, with their last writes.
std::vector<partial_cache::FolderFile> FolderFiles(const std::string& partialFolder) {
  std::vector<partial_cache::FolderFile> files;
  WIN32_FIND_DATAA entry;
  UniqueFind find(FindFirstFileA((partialFolder + "\\*").c_str(), &entry));
  if (!find) return files;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      files.push_back({entry.cFileName, Seconds(entry.ftLastWriteTime)});
  } while (FindNextFileA(find.get(), &entry));
  return files;
}

}  // namespace

std::string PartialKeyFor(const FetchPlan& plan) {
  return partial_cache::EntryKey(plan.url, plan.md5Expected ? *plan.md5Expected : std::string(),
                                 plan.sha256Expected ? *plan.sha256Expected : std::string());
}

namespace {

// Takes up what an earlier run kept of a body at partPath (OpenKeptEntry).
void TakeUpKeptBody(const std::string& partPath, const std::string& headPath, FileDownload& download,
                    DownloadSink& sink, const DownloadClient& client) {
  const std::optional<std::string> text = ReadSmallFile(headPath);
  const std::optional<partial_cache::Head> head = text ? partial_cache::ParseHead(*text) : std::nullopt;
  if (!head || head->total > download.maxLength) return;
  HeldFile file = HeldFile::Open(partPath);
  if (!file) return;
  // Bytes past what the record vouches for may never have reached the disk
  // (a power cut leaves zeros there): they go before any is read.
  const int64_t kept = partial_cache::KeptLength(*head, file.Size());
  if (kept <= 0 || !file.SetLength(kept) || !HashKeptBytes(file.get(), kept, sink, client)) {
    sink.Restart();
    return;
  }
  run_log::Event("partial_cache")
      .Add("file", partPath)
      .Add("kept", kept)
      .Add("vouched", head->vouched)
      .Add("total", head->total);
  download.file = std::move(file);
  download.kept = kept;
  download.total = head->total;
  download.validator = head->validator;
}

}  // namespace

KeptEntry OpenKeptEntry(const FetchPlan& plan, FileDownload& download, std::string& headPath,
                        DownloadSink& sink, const DownloadClient& client) {
  const std::string key = PartialKeyFor(plan);
  const std::string part = plan.partialFolder + "\\" + key + partial_cache::kPartSuffix;
  if (part.size() > kMaxPathChars || !CreateFolderPath(plan.partialFolder)) return KeptEntry::kUnavailable;
  download.path = part;
  headPath = plan.partialFolder + "\\" + key + partial_cache::kHeadSuffix;
  TakeUpKeptBody(part, headPath, download, sink, client);
  if (client.cancelled()) return KeptEntry::kCancelled;
  // Nothing taken up: the old bytes go before a new record can name them,
  // and an entry someone else holds leaves this file to this run alone.
  if (!download.file) download.file = HeldFile::Create(part);
  if (download.file) return KeptEntry::kOpened;
  run_log::Event("partial_cache").Add("file", part).Error(GetLastError()).Failed("entry in use");
  return KeptEntry::kUnavailable;
}

KeptBodyRecord::KeptBodyRecord(DownloadProgress* next, const FileDownload& download, std::string headPath)
    : next_(next), download_(download), headPath_(std::move(headPath)), flushed_(download.kept) {}

void KeptBodyRecord::Started(int32_t announcedLength, int32_t step) {
  // Whatever this answer continues was written by an earlier attempt: it is
  // flushed, and the record says so, before any byte of the answer comes.
  Vouch();
  if (next_ != nullptr) next_->Started(announcedLength, step);
}

void KeptBodyRecord::Received(int32_t bytesSoFar) {
  if (partial_cache::VouchDue(download_.kept - written_.vouched, GetTickCount64() - vouchedAt_)) Vouch();
  if (next_ != nullptr) next_->Received(bytesSoFar);
}

void KeptBodyRecord::Finished(int32_t bytes) {
  if (next_ != nullptr) next_->Finished(bytes);
}

void KeptBodyRecord::KeepUnfinished(FileDownload& download) {
  Vouch();
  if (download.file && download.file.Size() == 0) {
    download.file.DeleteOnClose();
    if (!headPath_.empty()) DeleteFileA(headPath_.c_str());
  }
  download.file.reset();
}

void KeptBodyRecord::Vouch() {
  if (headPath_.empty()) return;
  // The file is cut only before an answer starts again: what is left of it
  // is still as flushed.
  if (download_.kept < flushed_) flushed_ = download_.kept;
  if (download_.kept > flushed_ && download_.file && FlushFileBuffers(download_.file.get())) {
    flushed_ = download_.kept;
  }
  vouchedAt_ = GetTickCount64();
  const partial_cache::Head head{download_.total, download_.validator, flushed_};
  if (head.total == written_.total && head.validator == written_.validator && head.vouched == written_.vouched) {
    return;
  }
  written_ = head;
  // Without a validator nothing can be continued: no record.
  if (head.validator.empty() || head.total <= 0 || !WriteSmallFile(headPath_, partial_cache::FormatHead(head))) {
    DeleteFileA(headPath_.c_str());
  }
}

void DropFetchedFile(FetchedFile& file) {
  if (file.download.file) {
    file.download.file.DeleteOnClose();
    file.download.file.reset();
  }
  if (!file.headPath.empty()) DeleteFileA(file.headPath.c_str());
}

void ForgetKeptRecord(const FetchedFile& file) {
  if (!file.headPath.empty()) DeleteFileA(file.headPath.c_str());
}

namespace {

// The keys of those of fetches that a later run may continue.
std::vector<std::string> ContinuableKeys(const std::vector<FetchPlan>& fetches) {
  std::vector<std::string> keys;
  for (const FetchPlan& fetch : fetches) {
    if (fetch.md5Expected != nullptr || fetch.sha256Expected != nullptr) keys.push_back(PartialKeyFor(fetch));
  }
  return keys;
}

}  // namespace

void PruneKeptDownloads(const std::string& partialFolder, PruneScope scope, const std::vector<FetchPlan>& fetches) {
  const std::vector<partial_cache::FolderFile> files = FolderFiles(partialFolder);
  if (scope == PruneScope::kEverything) {
    for (const partial_cache::FolderFile& file : files) {
      if (partial_cache::KeyOfName(file.name)) DeleteFileA((partialFolder + "\\" + file.name).c_str());
    }
    RemoveDirectoryA(partialFolder.c_str());
    return;
  }
  if (files.empty()) return;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const bool tableKnown = scope == PruneScope::kTable;
  const std::vector<std::string> keys = tableKnown ? ContinuableKeys(fetches) : std::vector<std::string>();
  // Which entries are of use is known only with the table.
  const std::size_t keepAtMost = tableKnown ? kTransfersAtOnce + kFilesAhead : files.size();
  const std::vector<std::string> names =
      partial_cache::NamesToPrune(files, Seconds(now), tableKnown ? &keys : nullptr, keepAtMost);
  if (names.empty()) return;
  for (const std::string& name : names) DeleteFileA((partialFolder + "\\" + name).c_str());
  run_log::Event("partial_cache_pruned").Add("files", names.size()).Add("table_known", tableKnown);
}
