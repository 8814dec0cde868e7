#include "updater/core/manifest_fetch.h"

#include <io.h>
#include <windows.h>

#include <cstdio>
#include <memory>

#include "updater/base/manifest_freshness.h"
#include "updater/base/manifest_signature.h"
#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/core/install_paths.h"
#include "updater/transfer/cng.h"

namespace {

// Asked of every cache on the way; some ignore it, hence the query as well.
constexpr const char kPastCachesHeaders[] = "Cache-Control: no-cache\r\nPragma: no-cache\r\n";

// url with a query no cache has seen yet: caches key on the whole URL.
std::string CacheBusted(const std::string& url, const std::string& token) {
  return url + (url.find('?') == std::string::npos ? "?" : "&") + "nocache=" + token;
}

std::string FreshToken() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  char text[40];
  std::snprintf(text, sizeof text, "%08lx%08lx%lx", static_cast<unsigned long>(now.dwHighDateTime),
                static_cast<unsigned long>(now.dwLowDateTime),
                static_cast<unsigned long>(GetCurrentProcessId()));
  return text;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// The first limit + 1 bytes of the file at most, so that an over-long file is
// seen as one without being read whole.
bool ReadHead(const std::string& path, std::size_t limit, std::string& text) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  text.assign(limit + 1, '\0');
  text.resize(std::fread(&text[0], 1, text.size(), file.get()));
  return !std::ferror(file.get());
}

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

std::string StatePath(const RunPaths& paths) { return paths.exeFolder + install_paths::kSerialStateFileName; }

// The highest serial accepted before: 0 when there is no state file. False
// when one exists but cannot be read as a serial (damaged, locked, a folder):
// reading it as 0 would accept any older manifest again.
bool ReadHighestAcceptedSerial(const RunPaths& paths, uint64_t& highest) {
  highest = 0;
  const std::string path = StatePath(paths);
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

// Whether the manifest, read through manifest (the bytes whose signature was
// checked), carries a valid expiry still ahead of the system clock and a
// serial not below the one kept in the state file; on success the serial is
// noted in acceptedSerial.
// An expired or rolled-back pair may be one a cache still holds while the
// server has the renewed one, so it is kStale; a state file that cannot be
// read refuses whatever the server answers.
ManifestFetch SignedManifestIsCurrent(const RunPaths& paths, const ProfileReader& manifest,
                                      uint64_t& acceptedSerial) {
  const manifest_freshness::Stamp stamp = manifest_freshness::ReadStamp(manifest);
  uint64_t highest = 0;
  const bool stateRead = ReadHighestAcceptedSerial(paths, highest);
  run_log::Event entry("freshness");
  entry.Add("serial", stamp.serial);
  if (!stateRead) return entry.Failed("serial state file unreadable"), ManifestFetch::kNotCurrent;
  entry.Add("highest_accepted", highest);
  const manifest_freshness::Verdict verdict = manifest_freshness::Judge(stamp, SystemClockSeconds(), highest);
  switch (verdict) {
    case manifest_freshness::Verdict::kAccepted:
      acceptedSerial = stamp.serial;
      return ManifestFetch::kFetched;
    case manifest_freshness::Verdict::kExpired:
    case manifest_freshness::Verdict::kRolledBack:
      return entry.Failed(VerdictText(verdict)), ManifestFetch::kStale;
    case manifest_freshness::Verdict::kMissing:
      break;
  }
  return entry.Failed(VerdictText(verdict)), ManifestFetch::kNotCurrent;
}

// Fetches the signature beside the manifest and checks the manifest's held
// bytes against it, then its expiry and serial.
ManifestFetch CheckSignature(const RunDownloads& downloads, const RunPaths& paths,
                             const std::vector<ManifestKey>& keys, const std::string& signatureUrl,
                             FetchedManifest& fetched) {
  const std::string signaturePath = SignaturePathFor(paths.historyPath);
  run_log::Event check("signature");
  check.Add("keys", keys.size());
  // The signature lives in a path buffer like every other work file.
  if (signaturePath.size() > kMaxPathChars) return check.Failed("path too long"), ManifestFetch::kNotFetched;
  if (!downloads.DownloadFile(signaturePath, signatureUrl, kSignatureMaxBytes))
    return check.Failed("not fetched"), ManifestFetch::kNotFetched;
  // The bytes held since the download, not the file as it is now: a manifest
  // too large to hold is refused.
  const std::optional<std::string>& bytes = fetched.manifest->bytes();
  if (!bytes) return check.Failed("manifest too large to hold"), ManifestFetch::kNotFetched;
  if (!SignedManifestBytesVerify(*bytes, signaturePath, keys))
    return check.Failed("does not verify with a built-in key"), ManifestFetch::kSignatureMismatch;
  check.Add("verified", true);
  return SignedManifestIsCurrent(paths, *fetched.manifest, fetched.acceptedSerial);
}

// The manifest from url and, with keys built in, its signature.
FetchedManifest FetchOnce(const RunDownloads& downloads, const RunPaths& paths,
                          const std::vector<ManifestKey>& keys, const std::string& url,
                          const std::string& signatureUrl) {
  FetchedManifest fetched;
  // Whatever the URL's name, the manifest is stored where the run reads and
  // later deletes it.
  if (!downloads.DownloadFile(paths.historyPath, url, kManifestMaxBytes, Bz2Target::LocalPath))
    return fetched;
  fetched.manifest = std::make_unique<ManifestFileReader>(paths.historyPath);
  // With keys built in, a manifest counts as fetched only once its signature
  // has been fetched and checked too.
  fetched.outcome =
      keys.empty() ? ManifestFetch::kFetched : CheckSignature(downloads, paths, keys, signatureUrl, fetched);
  return fetched;
}

void DeleteFileIfPresent(const std::string& path) {
  if (_access(path.c_str(), 0) == 0) DeleteFileA(path.c_str());
}

}  // namespace

FetchedManifest FetchManifest(const RunDownloads& downloads, const RunPaths& paths,
                              const std::vector<ManifestKey>& keys, const std::string& url) {
  // The extra headers go with this manifest's second fetch only.
  struct Headers {
    DownloadClient& client;
    ~Headers() { client.extraHeaders.clear(); }
  } headers{downloads.client()};
  try {
    const std::string signatureUrl = url + manifest_signature::kFileSuffix;
    FetchedManifest fetched = FetchOnce(downloads, paths, keys, url, signatureUrl);
    if (fetched.outcome != ManifestFetch::kSignatureMismatch && fetched.outcome != ManifestFetch::kStale)
      return fetched;
    // A cache in front of the server may answer the manifest of one release
    // and the signature of the next, or a whole pair the server has since
    // renewed: both once more, past every cache.
    fetched.manifest.reset();
    const std::string token = FreshToken();
    run_log::Event("manifest_refetch").Add("url", CacheBusted(url, token));
    downloads.client().extraHeaders = kPastCachesHeaders;
    return FetchOnce(downloads, paths, keys, CacheBusted(url, token), CacheBusted(signatureUrl, token));
  } catch (const TransferError&) {
    return FetchedManifest();
  }
}

std::string SignaturePathFor(const std::string& historyPath) {
  return historyPath + manifest_signature::kFileSuffix;
}

bool SignedManifestVerifies(const std::string& manifestPath, const std::string& signaturePath,
                            const std::vector<ManifestKey>& keys) {
  const ManifestFileReader manifest(manifestPath);
  return manifest.bytes() && SignedManifestBytesVerify(*manifest.bytes(), signaturePath, keys);
}

bool SignedManifestBytesVerify(const std::string& manifestBytes, const std::string& signaturePath,
                               const std::vector<ManifestKey>& keys) {
  if (keys.empty()) return false;
  std::string text;
  if (!ReadHead(signaturePath, manifest_signature::kMaxFileBytes, text)) return false;
  CngLibrary cng;
  Sha256Digest digest;
  if (!cng.Load() || !cng.Hash(manifestBytes.data(), manifestBytes.size(), digest)) return false;
  return manifest_signature::AnySectionVerifies(
      text, keys, [&](const ManifestKey& key, const manifest_signature::SignatureValue& value) {
        return cng.VerifyP256(key.xy, digest, value);
      });
}

void RecordAcceptedSerial(const RunPaths& paths, const ManifestTrust& trust) {
  uint64_t highest = 0;
  if (trust.manifestKeys.empty() || !ReadHighestAcceptedSerial(paths, highest) ||
      trust.acceptedSerial <= highest)
    return;
  // Written beside the state file and renamed over it, so that a cut leaves
  // the old serial or the new one, never a part that reads as none.
  const std::string path = StatePath(paths);
  const std::string temporary = paths.exeFolder + install_paths::kSerialStateNewName;
  const std::string text = manifest_freshness::FormatStateFile(trust.acceptedSerial);
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

void DeleteStoredManifest(const std::string& historyPath) {
  DeleteFileIfPresent(historyPath);
  DeleteFileIfPresent(SignaturePathFor(historyPath));
}
