#include "tools/publish/command_common.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <iostream>

#include "tools/publish/publish_files.h"
#include "tools/publish/report_url_option.h"
#include "tools/publish/signature_file.h"
#include "tools/publish/signed_pair.h"

namespace publish {

void Fail(const std::string& message) { std::cerr << "torvane-publish: " << message << "\n"; }

int Refuse(const std::string& message, int status) {
  Fail(message);
  return status;
}

std::string SignaturePath(const std::string& manifest) { return manifest + ".sig"; }

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

bool LoadKeys(const std::vector<std::string>& paths, const std::string& passSource,
              std::vector<SigningKey>& keys) {
  std::string passphrase, error;
  if (!passSource.empty() && !ReadPassphrase(passSource, passphrase, error)) {
    Fail(error);
    return false;
  }
  if (!LoadSigningKeys(paths, passSource.empty() ? nullptr : &passphrase, keys, error)) {
    Fail(error);
    return false;
  }
  for (const SigningKey& key : keys) {
    struct stat st {};
    if (::stat(key.path.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
      std::cerr << "warning: " << key.path << " can be read by other users; chmod 600 it\n";
    }
  }
  return true;
}

bool LockForWriting(const std::string& manifestPath, PublishLock& lock) {
  std::string error;
  if (!lock.Take(manifestPath, error)) {
    Fail(error);
    return false;
  }
  for (const std::string& path : {manifestPath, SignaturePath(manifestPath)}) {
    for (const std::string& stale : RemoveStaleTemporaries(path)) {
      std::cerr << "note: removed " << stale << ", left by a run that did not end\n";
    }
  }
  return true;
}

std::string FindingLine(const std::string& manifestPath, const Finding& finding) {
  std::string where = "[" + finding.section + "]";
  if (!finding.key.empty()) where += " " + finding.key;
  return manifestPath + ": " + (finding.severity == Severity::kError ? "error: " : "warning: ") + where +
         ": " + finding.message;
}

bool ShowErrors(const std::string& manifestPath, const LintResult& result) {
  for (const Finding& finding : result.findings) {
    if (finding.severity == Severity::kError) std::cerr << FindingLine(manifestPath, finding) << "\n";
  }
  return !result.HasErrors();
}

std::optional<std::string> ExistingSignature(const std::string& manifestPath) {
  if (!Exists(SignaturePath(manifestPath))) return std::nullopt;
  return ReadWholeFile(SignaturePath(manifestPath)).value_or(std::string());
}

void SayRemoved(const std::string& sigPath, const std::vector<std::string>& removed) {
  for (const std::string& id : removed) {
    std::cerr << "note: the signature by key " << id << " is removed from " << sigPath << " (--drop-key)\n";
  }
}

std::optional<std::string> SignStamped(const std::string& manifestPath, std::string& manifest,
                                       const std::vector<SigningKey>& keys, const SigningOptions& options) {
  int64_t validFor = 0;
  std::string error;
  if (!ParseDuration(options.expires, validFor)) {
    Fail(ExpiresProblem(options.expires, options.force));
    return std::nullopt;
  }
  auto stamped = StampManifest(manifest, Now(), validFor, options.serial, error);
  if (!stamped) {
    Fail(manifestPath + ": " + error + "; nothing signed");
    return std::nullopt;
  }
  manifest = *stamped;
  if (!options.reportUrl.empty())
    manifest = WithReportUrl(manifest, options.reportUrl);
  LintResult result = LintManifest(manifest, true);
  LintExpiry(manifest, Now(), result);
  if (!ShowErrors(manifestPath, result)) {
    Fail(manifestPath + ": a client built with keys would refuse it; nothing signed");
    return std::nullopt;
  }
  std::vector<SignatureEntry> entries;
  if (!SignWithEach(keys, manifest, entries, error)) {
    Fail(error);
    return std::nullopt;
  }
  return FormatSignatureFile(entries);
}

}  // namespace publish
