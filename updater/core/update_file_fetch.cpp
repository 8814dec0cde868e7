#include "updater/core/update_file_fetch.h"

#include <windows.h>

#include <optional>
#include <vector>

#include "updater/base/hex_text.h"
#include "updater/base/run_log.h"
#include "updater/base/update_job_state.h"
#include "updater/core/install_paths.h"
#include "updater/core/partial_cache_folder.h"
#include "updater/core/placement.h"
#include "updater/core/work_folders.h"
#include "updater/transfer/cng.h"
#include "updater/transfer/md5.h"

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

namespace {

// Opens the file the body goes into: the cache entry, taking up what an
// earlier run kept there, or, when the entry is held elsewhere or its path
// too long, the temporary file. False on a cancel (the kept bytes stay for
// the next run) or when no file can be made.
bool OpenBody(const DownloadClient& client, const FetchPlan& plan, DigestSink& digests, FetchedFile& out) {
  switch (OpenKeptEntry(plan, out.download, out.headPath, digests, client)) {
    case KeptEntry::kOpened:
      return true;
    case KeptEntry::kCancelled:
      return false;
    case KeptEntry::kUnavailable:
      break;
  }
  out.headPath.clear();
  out.download.path = plan.tempFile;  // no room for the cache: this run only
  return CreateFolderOf(plan.tempFile);
}

}  // namespace

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

  if (!OpenBody(client, plan, digests, out)) return false;

  KeptBodyRecord recording(progress, out.download, out.headPath);
  const bool fetched = client.Fetch(out.download, plan.url, &recording);
  out.download.sink = nullptr;
  if (!fetched) {
    recording.KeepUnfinished(out.download);
    return false;
  }
  out.md5Text = digests.Md5Text();
  out.sha256Text = digests.Sha256Text();
  out.ok = true;
  return true;
}

