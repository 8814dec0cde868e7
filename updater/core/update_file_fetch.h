#pragma once
// One update file fetched for the install loop: its bytes hashed as they
// arrive (MD5, and SHA-256 through CNG when the manifest asks for it), and the
// file held open from its creation until it is in place, under a handle that
// lets no one else write, rename or delete it. So the digests that the
// install checks are those of the very bytes it puts in place.
//
// The body goes into the partial-download cache (partial_cache_folder.h): what
// a failed or killed run leaves there is continued by the next run, once its
// kept bytes are hashed again. Whether a patch would do instead is decided
// before (job_patches.h): this fetch knows only the one URL it is given.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "updater/transfer/download_client.h"

struct FetchedFile {
  FileDownload download;   // download.file holds the whole body once ok
  std::string md5Text;     // of the bytes that arrived
  std::string sha256Text;  // likewise, when listed or no digest is; empty when CNG failed
  std::string headPath;    // its cache record; empty when not cached
  bool patched = false;    // made from the client's copy by a patch
  bool ok = false;
};

struct FetchPlan {
  std::string filePath;  // the FilePath: its dialog row
  std::string url;
  std::string tempFile;                         // tempFolder + FilePath
  std::string partialFolder;                    // the cache folder
  const std::string* md5Expected = nullptr;     // FileHashMap's entry, if any
  const std::string* sha256Expected = nullptr;  // FileSha256Map's entry, if any
  int64_t maxLength = kInstallFileMaxBytes;
};

// The digests of a body, fed with its bytes as they are written: MD5, and
// SHA-256 through CNG when asked for (its text is empty when CNG failed).
class DigestSink : public DownloadSink {
 public:
  explicit DigestSink(bool wantSha256);
  ~DigestSink() override;
  void Restart() override;
  void Add(const char* data, std::size_t size) override;
  std::string Md5Text();
  std::string Sha256Text();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Fetches plan's whole file into out through client; progress may be null.
// False leaves what arrived in the cache. A cache entry that another fetch
// holds, or a cache path too long, makes this run fetch into plan.tempFile,
// whose folder it creates. May raise TransferError.
bool FetchUpdateFile(DownloadClient& client, const FetchPlan& plan, DownloadProgress* progress,
                     FetchedFile& out);
