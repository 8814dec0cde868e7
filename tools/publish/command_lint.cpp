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

struct LintOptions {
  bool fetch = false;
  std::string installed;
  std::vector<std::string> publicKeys;
  int jobs = 4;
  long timeout = 30;
  std::string url;  // where the manifest itself is served
  std::vector<std::string> deltaBases;  // local folders of older releases, bases of patches
  bool quiet = false;
};

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

void CheckFetched(const std::vector<FileEntry>& files, const LintOptions& options, HostRecord& hosts,
                  LintResult& result) {
  std::vector<std::string> urls;
  std::map<std::string, std::size_t> urlIndex;
  for (const FileEntry& file : files) {
    if (urlIndex.emplace(file.url, urls.size()).second) urls.push_back(file.url);
  }
  const auto outcomes =
      FetchAll(urls, options.jobs, FetchProgressLine(options.quiet), hosts, options.timeout, options.timeout);
  if (!options.quiet && ::isatty(STDERR_FILENO)) std::fprintf(stderr, "\r%60s\r", "");
  std::size_t good = 0, answered = 0;
  for (const FileEntry& file : files) {
    const FetchOutcome& got = outcomes[urlIndex[file.url]];
    if (got.unreachable) continue;  // said once for the host
    if (got.error.empty()) ++answered;
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
  std::size_t answeredUrls = 0;
  for (const FetchOutcome& got : outcomes) answeredUrls += got.error.empty() ? 1 : 0;
  if (answeredUrls == 0) return;
  std::cout << "fetched " << answeredUrls << " URL(s) for " << answered << " file entries: " << good
            << " match the manifest\n";
}

// " (served Serial S, local L)", or empty when either cannot be read.
std::string SerialsText(const std::string& served, const std::string& local, uint64_t& servedSerial,
                        uint64_t& localSerial) {
  const ManifestStamp servedStamp = ReadManifestStamp(served);
  const ManifestStamp localStamp = ReadManifestStamp(local);
  if (!manifest_freshness::ParseSerial(servedStamp.serial, servedSerial) ||
      !manifest_freshness::ParseSerial(localStamp.serial, localSerial)) {
    return "";
  }
  return " (served Serial " + servedStamp.serial + ", local " + localStamp.serial + ")";
}

// What the serials of the served and the local manifest say of the upload.
std::string ServedSerialNote(const std::string& served, const std::string& local) {
  uint64_t servedSerial = 0, localSerial = 0;
  const std::string numbers = SerialsText(served, local, servedSerial, localSerial);
  if (numbers.empty()) return "";
  if (servedSerial < localSerial) return numbers + ": upload the local manifest and its .sig";
  if (servedSerial == localSerial) return numbers + ": two manifests under one Serial; sign the local one again";
  return numbers + ": clients that read the served manifest refuse one with a lower Serial; sign the local one "
                   "again with --serial above the served one";
}

// The manifest and signature file served at url against the local ones: a
// publisher who uploaded in the wrong order or forgot one file sees it here.
void CheckServedManifest(const std::string& manifestPath, const std::string& manifest,
                         const LintOptions& options, HostRecord& hosts, LintResult& result) {
  const std::string sigPath = SignaturePath(manifestPath);
  const auto signature = ReadWholeFile(sigPath);
  auto error = [&](const char* section, const std::string& url, const std::string& message) {
    result.findings.push_back(Finding{Severity::kError, section, "", url + ": " + message});
  };
  std::string served, failure;
  bool unreachable = false;
  const bool gotManifest = FetchBody(options.url, static_cast<std::size_t>(update_limits::kManifestMaxBytes) + 1,
                                     options.timeout, hosts, served, failure, &unreachable);
  if (!gotManifest && !unreachable) {
    error("Root", options.url, failure);
  } else if (gotManifest && served != manifest) {
    error("Root", options.url, "the served bytes differ from " + manifestPath + ServedSerialNote(served, manifest));
  }
  bool gotSignature = false;
  if (signature) {
    const std::string url = options.url + ".sig";
    std::string servedSignature;
    gotSignature = FetchBody(url, static_cast<std::size_t>(update_limits::kSignatureMaxBytes) + 1, options.timeout,
                             hosts, servedSignature, failure, &unreachable);
    if (!gotSignature && !unreachable) {
      error("Signature", url, failure);
    } else if (gotSignature && servedSignature != *signature) {
      error("Signature", url,
            "the served bytes differ from " + sigPath + ": clients built with keys refuse the served manifest");
    }
  }
  if (!gotManifest) return;
  uint64_t servedSerial = 0, localSerial = 0;
  std::cout << "fetched " << options.url << (gotSignature ? " and its .sig" : "")
            << SerialsText(served, manifest, servedSerial, localSerial) << "\n";
}

// One error for each host that cannot be reached, instead of one a URL.
void ShowUnreachable(const HostRecord& hosts, LintResult& result) {
  for (const auto& [host, error] : hosts.Unreachable()) {
    result.findings.push_back(
        Finding{Severity::kError, "Root", "", host + " cannot be reached (" + error + "); nothing was fetched from it"});
  }
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

int Lint(const std::string& manifestPath, const LintOptions& options) {
  const auto manifest = ReadWholeFile(manifestPath);
  if (!manifest) return Refuse(manifestPath + ": cannot read");
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
        if (!keys.back()) return Refuse(error);
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
  // One record for every fetch: a host given up on is asked no more.
  HostRecord hosts;
  if (options.fetch) {
    CheckFetched(result.files, options, hosts, result);
    CheckFetchedPatches(*manifest, result.files,
                        PatchFetchOptions{options.jobs, options.timeout, FetchProgressLine(options.quiet), &hosts,
                                          options.deltaBases},
                        result);
  }
  if (!options.url.empty()) CheckServedManifest(manifestPath, *manifest, options, hosts, result);
  ShowUnreachable(hosts, result);

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

}  // namespace

Command AddLintCommand(CLI::App& app, CommonOptions& common) {
  struct Arguments {
    std::string manifest;
    LintOptions options;
  };
  auto arguments = std::make_shared<Arguments>();
  LintOptions& options = arguments->options;
  CLI::App* lint = app.add_subcommand(
      "lint", "Check the manifest as the updater reads it. Exit 0 clean, 1 errors, 2 usage.");
  lint->add_option("MANIFEST", arguments->manifest, "Manifest file")->required()->check(CLI::ExistingFile);
  lint->add_flag("--fetch", options.fetch, "Download every file URL and check status, Content-Length and digests");
  lint->add_option("--jobs", options.jobs, "Downloads at once for --fetch (default 4)")->check(CLI::Range(1, 64));
  lint->add_option("--timeout", options.timeout,
                   "Seconds to wait for a connection or for the next byte (default 30); a host that "
                   "lets one request time out is not asked again")
      ->check(CLI::Range(1, 3600));
  lint->add_option("--url", options.url,
                   "Where the manifest is served: fetch it and its .sig and compare them with the local files");
  lint->add_option("--delta-base", options.deltaBases,
                   "Folder of an older release, as given to release --delta-base: with --fetch, patches "
                   "made from its files are applied to them (repeatable)")
      ->check(CLI::ExistingDirectory);
  lint->add_option("--pub", options.publicKeys,
                   "Public key the clients are built with; MANIFEST.sig must verify with each")
      ->check(CLI::ExistingFile);
  lint->add_option("--installed", options.installed, "Show which files a client at this version gets")
      ->check(CLI::Validator(
          [](std::string& text) {
            return IsPlainVersion(text) ? std::string() : "a version is a plain decimal number";
          },
          "VERSION"));
  AddQuietFlag(*lint, common);
  return {lint, [arguments, &common] {
            arguments->options.quiet = common.quiet;
            return Lint(arguments->manifest, arguments->options);
          }};
}

}  // namespace publish
