#pragma once
// The manifest step of a run. HistoryVersionList.cfg is fetched from the
// settings' URL into the client folder and read once; with keys built in, its
// signature file is fetched beside it and must accept those very bytes (format:
// manifest_signature.h, checked with CNG), and the manifest must carry an
// expiry still ahead of the system clock and a serial not below the highest
// one this client folder accepted (rules: manifest_freshness.h; the state file
// ManifestSerial.dat keeps that serial). A manifest whose signature does not
// verify, or that verifies but is expired or rolled back, is fetched once more
// with its signature, past every cache in front of the server. Worker thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "updater/base/manifest_file_reader.h"
#include "updater/base/manifest_keys.h"
#include "updater/base/update_job_state.h"
#include "updater/core/run_downloads.h"

// How the manifest step ended.
enum class ManifestFetch {
  kFetched,            // stored and held; with keys, signed and current
  kNotFetched,         // the manifest or its signature did not arrive, or the paths do not fit
  kSignatureMismatch,  // both arrived whole, but no built-in key accepts the pair
  kStale,              // signed, but expired or rolled back: perhaps a cache's old pair
  kNotCurrent,         // signed, but without Expires or Serial, or the serial state is unreadable
};

struct FetchedManifest {
  ManifestFetch outcome = ManifestFetch::kNotFetched;
  // The stored manifest as read once after its download, held against
  // writers: what its signature check saw is what the check parses.
  std::unique_ptr<ManifestFileReader> manifest;
  uint64_t acceptedSerial = 0;  // the signed manifest's Serial, once accepted
};

// Fetches the manifest at url into paths.historyPath and, when keys is not
// empty, its signature from url + ".sig", and checks both. A
// kSignatureMismatch or kStale is fetched once more, past caches. May not raise: a
// transfer error is kNotFetched.
FetchedManifest FetchManifest(const RunDownloads& downloads, const RunPaths& paths,
                              const std::vector<ManifestKey>& keys, const std::string& url);

// After a completed update: keeps trust.acceptedSerial in the state file when
// it is higher than the one there. Does nothing for a build without keys.
void RecordAcceptedSerial(const RunPaths& paths, const ManifestTrust& trust);

// The stored manifest and its signature go together, whatever the outcome.
void DeleteStoredManifest(const std::string& historyPath);

// The path the signature file of the manifest at historyPath is kept under.
std::string SignaturePathFor(const std::string& historyPath);

// Whether the file at signaturePath (read only up to one byte past the size
// limit) accepts the bytes of the file at manifestPath for one of keys. False
// when either file cannot be read, CNG is missing, or no key is given.
bool SignedManifestVerifies(const std::string& manifestPath, const std::string& signaturePath,
                            const std::vector<ManifestKey>& keys);

// The same check of manifest bytes already read, the very bytes the caller
// goes on to parse.
bool SignedManifestBytesVerify(const std::string& manifestBytes, const std::string& signaturePath,
                               const std::vector<ManifestKey>& keys);
