#include "updater/core/signed_manifest.h"

#include <windows.h>

#include <cstdio>
#include <memory>

#include "updater/base/manifest_file_reader.h"
#include "updater/base/manifest_signature.h"
#include "updater/core/manifest_freshness_check.h"
#include "updater/base/run_log.h"
#include "updater/core/update_job.h"
#include "updater/transfer/cng.h"

namespace {

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

}  // namespace

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

bool UpdateJob::DownloadManifestSignature(const std::string& signatureUrl, bool& mismatch) {
  const std::string signaturePath = SignaturePathFor(historyPath);
  // The signature lives in a path buffer like every other work file.
  run_log::Event check("signature");
  check.Add("keys", manifestKeys.size());
  if (signaturePath.size() > kMaxPathChars) return check.Failed("path too long");
  if (!DownloadFile(signaturePath, signatureUrl, kSignatureMaxBytes))
    return check.Failed("not fetched");
  // The bytes held since the download, not the file as it is now: a manifest
  // too large to hold is refused.
  const std::optional<std::string>& bytes = Manifest().bytes();
  if (!bytes) return check.Failed("manifest too large to hold");
  if (!SignedManifestBytesVerify(*bytes, signaturePath, manifestKeys)) {
    mismatch = true;
    return check.Failed("does not verify with a built-in key");
  }
  check.Add("verified", true);
  return SignedManifestIsCurrent(*this, Manifest());
}
