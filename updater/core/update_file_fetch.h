#pragma once
// One update file fetched for the install loop: its bytes hashed as they
// arrive (MD5, and SHA-256 through CNG when the manifest asks for it), and the
// file held open from its creation until it is in place, under a handle that
// lets no one else write, rename or delete it. So the digests that the
// install checks are those of the very bytes it puts in place.
//
// The body goes into the partial-download cache (partial_cache_rules.h): what
// a failed or killed run leaves there is continued by the next run, once its
// kept bytes are hashed again.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "updater/base/file_patches.h"
#include "updater/core/install_journal.h"
#include "updater/core/update_observer.h"
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
  std::string clientFile;                           // exeFolder + FilePath: a patch's base
  const std::vector<FilePatch>* patches = nullptr;  // FilePatchMap's entry, if any
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

class UpdateJob;

// What the download queue fetches for job's FileUrlMap, in table order. The
// kept downloads that none of them continues are removed.
std::vector<FetchPlan> PlanUpdateDownloads(const UpdateJob& job);

// Fetches plan's whole file into out through client; progress may be null.
// False leaves what arrived in the cache. A cache entry that another fetch
// holds, or a cache path too long, makes this run fetch into plan.tempFile,
// whose folder it creates. May raise TransferError.
bool FetchUpdateFile(DownloadClient& client, const FetchPlan& plan, DownloadProgress* progress,
                     FetchedFile& out);

// Creates the folder that file goes in, with its parents, also while other
// fetches or the install loop create the same folders.
bool CreateFolderOf(const std::string& file);

// Forgets the cache entry of a fetched file whose bytes turned out wrong.
void DropFetchedFile(FetchedFile& file);

// Removes the cache entries that no file of keys names (keys: EntryKey of
// each file of the run), or the whole folder when keys is null.
void PrunePartialFolder(const std::string& partialFolder, const std::vector<std::string>* keys);

// The download of one of plan's patches: its own URL, digest and length, and
// a place in the partial-download cache of its own.
FetchPlan PatchPlanFor(const FetchPlan& plan, const FilePatch& patch);

// The cache key of one file of the table.
std::string PartialKeyFor(const FetchPlan& plan);

// How PlaceHeldFile put the file in place, or why it could not.
struct Placement {
  bool renamed = false;                  // the held file itself took the name; else its bytes were copied
  bool cutOver = false;                  // a write over the destination began and failed: it holds a cut copy
  install_journal::PlacedFile identity;  // of the file now at destination
};

// Puts the held file at destination through its own handle: renamed there
// when destination is free, else written over it, else (in use) after
// moving destination to its aside name (destination + ".bak"); afterAside
// false fails the file. Before its bytes are copied over a destination, the held file is renamed to
// tempFile, where the play-back of a killed run finds what a cut copy came
// from. Its bytes are on disk before any rename publishes them. A write over
// the destination that fails part-way fails the file at once (cutOver): what
// it left is never moved aside as if it were the old file. On true the file is
// on disk, its identity taken, and its handle closed.
bool PlaceHeldFile(FileDownload& download, const std::string& destination, const std::string& tempFile,
                   const std::function<bool()>& beforeAside, const std::function<bool()>& afterAside,
                   Placement& placement);
