#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <memory>

#include "tools/publish/command_common.h"
#include "tools/publish/gbk_text.h"
#include "tools/publish/patch_lint.h"
#include "tools/publish/publish_files.h"
#include "tools/publish/signature_file.h"
#include "tools/publish/url_fetcher.h"
#include "updater/base/hex_text.h"
#include "updater/base/manifest_freshness.h"
#include "updater/base/text_rules.h"
#include "updater/base/update_limits.h"
#include "updater/transfer/md5.h"

namespace publish {
namespace {

// Progress of a long fetch on standard error: redrawn in place on a terminal,
// one line every few seconds otherwise (a CI log).
std::function<void(const FetchProgress&)> FetchProgressLine(bool quiet) {
  if (quiet) return {};
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  auto lastShown = std::make_shared<std::chrono::steady_clock::time_point>();
  return [terminal, lastShown](const FetchProgress& p) {
    const auto now = std::chrono::steady_clock::now();
    const auto period = terminal ? std::chrono::milliseconds(200) : std::chrono::milliseconds(5000);
    if (*lastShown == std::chrono::steady_clock::time_point()) *lastShown = now;
    if (now - *lastShown < period) return;
    *lastShown = now;
    std::fprintf(stderr, "%sfetching: %zu/%zu done, %zu running, %.1f MiB%s", terminal ? "\r" : "", p.done,
                 p.total, p.running, static_cast<double>(p.bytes) / (1024.0 * 1024.0),
                 terminal ? "   " : "\n");
    std::fflush(stderr);
  };
}

void CheckFetched(const std::vector<FileEntry>& files, const LintOptions& options, LintResult& result) {
  std::vector<std::string> urls;
  std::map<std::string, std::size_t> urlIndex;
  for (const FileEntry& file : files) {
    if (urlIndex.emplace(file.url, urls.size()).second) urls.push_back(file.url);
  }
  const auto outcomes =
      FetchAll(urls, options.jobs, FetchProgressLine(options.quiet), options.timeout, options.timeout);
  if (!options.quiet && ::isatty(STDERR_FILENO)) std::fprintf(stderr, "\r%60s\r", "");
  std::size_t good = 0;
  for (const FileEntry& file : files) {
    const FetchOutcome& got = outcomes[urlIndex[file.url]];
    const std::string n = std::to_string(file.index);
    const std::string url = GbkForDisplay(file.url);
    auto error = [&](const std::string& key, const std::string& message) {
      result.findings.push_back(Finding{Severity::kError, file.section, key, url + ": " + message});
    };
    const std::size_t before = result.findings.size();
    if (!got.error.empty()) {
      error("FileUrl" + n, got.error);
    } else if (got.status < 200 || got.status > 299) {
      error("FileUrl" + n, "HTTP status " + std::to_string(got.status) + "; the updater takes only 2xx");
    } else if (!got.hasLength) {
      error("FileUrl" + n, "no Content-Length; the updater refuses such an answer");
    } else if (static_cast<uint64_t>(got.length) != got.body.size) {
      error("FileUrl" + n, "Content-Length is " + std::to_string(got.length) + " but " +
                               std::to_string(got.body.size) + " bytes came");
    } else {
      if (!file.md5.empty() && !HashMatches(got.body.md5, file.md5)) {
        error("FileHashID" + n, "the body's MD5 is " + got.body.md5 + ", not " + GbkForDisplay(file.md5));
      }
      if (!file.sha256.empty() && !HashMatches(got.body.sha256, file.sha256)) {
        error("FileSha256" + n,
              "the body's SHA-256 is " + got.body.sha256 + ", not " + GbkForDisplay(file.sha256));
      }
    }
    if (result.findings.size() == before) ++good;
  }
  std::cout << "fetched " << urls.size() << " URL(s) for " << files.size() << " file entries: " << good
            << " match the manifest\n";
}

// What the serials of the served and the local manifest say of the upload.
std::string ServedSerialNote(const std::string& served, const std::string& local) {
  const ManifestStamp servedStamp = ReadManifestStamp(served);
  const ManifestStamp localStamp = ReadManifestStamp(local);
  uint64_t servedSerial = 0, localSerial = 0;
  if (!manifest_freshness::ParseSerial(servedStamp.serial, servedSerial) ||
      !manifest_freshness::ParseSerial(localStamp.serial, localSerial)) {
    return "";
  }
  const std::string numbers = " (served Serial " + servedStamp.serial + ", local " + localStamp.serial + ")";
  if (servedSerial < localSerial) return numbers + ": upload the local manifest and its .sig";
  if (servedSerial == localSerial) return numbers + ": two manifests under one Serial; sign the local one again";
  return numbers + ": clients that read the served manifest refuse one with a lower Serial; sign the local one "
                   "again with --serial above the served one";
}

// The manifest and signature file served at url against the local ones: a
// publisher who uploaded in the wrong order or forgot one file sees it here.
void CheckServedManifest(const std::string& manifestPath, const std::string& manifest,
                         const LintOptions& options, LintResult& result) {
  const std::string sigPath = SignaturePath(manifestPath);
  const auto signature = ReadWholeFile(sigPath);
  auto error = [&](const char* section, const std::string& url, const std::string& message) {
    result.findings.push_back(Finding{Severity::kError, section, "", url + ": " + message});
  };
  std::string served, failure;
  if (!FetchBody(options.url, static_cast<std::size_t>(update_limits::kManifestMaxBytes) + 1, options.timeout, served,
                 failure)) {
    error("Root", options.url, failure);
  } else if (served != manifest) {
    error("Root", options.url, "the served bytes differ from " + manifestPath + ServedSerialNote(served, manifest));
  }
  if (signature) {
    const std::string url = options.url + ".sig";
    std::string servedSignature;
    if (!FetchBody(url, static_cast<std::size_t>(update_limits::kSignatureMaxBytes) + 1, options.timeout,
                   servedSignature, failure)) {
      error("Signature", url, failure);
    } else if (servedSignature != *signature) {
      error("Signature", url,
            "the served bytes differ from " + sigPath + ": clients built with keys refuse the served manifest");
    }
  }
  std::cout << "fetched " << options.url << (signature ? " and its .sig" : "") << "\n";
}

void ShowInstalled(const std::string& manifest, const std::string& installed, LintResult& result) {
  const InstalledView view = ViewForInstalled(manifest, AtoiText(installed));
  if (!view.runs) {
    std::cout << "A client at " << installed << ": " << view.outcome << "\n";
    result.findings.push_back(
        Finding{Severity::kWarning, "Root", "", "a client at " + installed + ": " + view.outcome});
    return;
  }
  std::cout << "A client at " << installed << " reads release(s)";
  for (const std::string& release : view.releases) std::cout << " " << release;
  std::cout << " and gets " << view.urls.size() << " file(s):\n";
  for (const auto& [filePath, url] : view.urls) {
    const std::string* md5 = view.md5s.Find(filePath);
    const std::string* sha = view.sha256s.Find(filePath);
    std::cout << "  " << GbkForDisplay(filePath) << "\n"
              << "      url     " << GbkForDisplay(url) << "\n"
              << "      md5     " << (md5 ? GbkForDisplay(*md5) : "(none: not checked)") << "\n"
              << "      sha256  " << (sha ? GbkForDisplay(*sha) : "(none)") << "\n";
  }
}

}  // namespace

int Lint(const std::string& manifestPath, const LintOptions& options) {
  const auto manifest = ReadWholeFile(manifestPath);
  if (!manifest) {
    Fail(manifestPath + ": cannot read");
    return kExitFailed;
  }
  const std::string sigPath = SignaturePath(manifestPath);
  const bool signedManifest = Exists(sigPath) || !options.publicKeys.empty();
  LintResult result = LintManifest(*manifest, signedManifest);
  if (signedManifest) LintExpiry(*manifest, Now(), result);
  if (signedManifest) {
    const auto signature = ReadWholeFile(sigPath);
    std::vector<SignatureEntry> entries;
    std::string error = "cannot read";
    if (!signature || !ParseSignatureFile(*signature, entries, error)) {
      result.findings.push_back(Finding{Severity::kError, "Signature", "", sigPath + ": " + error});
    } else if (!options.publicKeys.empty()) {
      std::vector<Pkey> keys;
      std::vector<EVP_PKEY*> pointers;
      for (const std::string& path : options.publicKeys) {
        keys.push_back(LoadPublicKey(path, error));
        if (!keys.back()) {
          Fail(error);
          return kExitFailed;
        }
        pointers.push_back(keys.back().get());
        if (!UpdaterAccepts(*signature, {pointers.back()}, *manifest)) {
          result.findings.push_back(Finding{Severity::kError, "Signature", "",
                                            sigPath + " does not verify with " + path + " (key " +
                                                KeyId(pointers.back()) + "): clients built with it refuse"});
        }
      }
    }
  }
  if (!options.installed.empty()) ShowInstalled(*manifest, options.installed, result);
  if (options.fetch) CheckFetched(result.files, options, result);
  if (options.fetch) {
    CheckFetchedPatches(*manifest, result.files,
                        PatchFetchOptions{options.jobs, options.timeout, FetchProgressLine(options.quiet)}, result);
  }
  if (!options.url.empty()) CheckServedManifest(manifestPath, *manifest, options, result);

  std::size_t errors = 0;
  // Quiet keeps the findings: on standard error, as every other command's.
  std::ostream& out = options.quiet ? std::cerr : std::cout;
  for (const Finding& finding : result.findings) {
    out << FindingLine(manifestPath, finding) << "\n";
    if (finding.severity == Severity::kError) ++errors;
  }
  std::cout << manifestPath << ": " << result.versions.size() << " release(s) listed, " << result.files.size()
            << " file entries, " << errors << " error(s), " << result.findings.size() - errors
            << " warning(s)\n";
  return errors == 0 ? kExitOk : kExitFailed;
}

}  // namespace publish
