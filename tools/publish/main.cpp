// torvane-publish: makes, signs and checks the update manifest that Torvane
// reads, with the updater's own readers and rules.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/publish/gbk_text.h"
#include "tools/publish/manifest_lint.h"
#include "tools/publish/patch_lint.h"
#include "tools/publish/publish_crypto.h"
#include "tools/publish/publish_files.h"
#include "tools/publish/release_builder.h"
#include "tools/publish/signature_file.h"
#include "tools/publish/url_fetcher.h"
#include "updater/base/text_rules.h"
#include "updater/transfer/md5.h"

namespace publish {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void Fail(const std::string& message) { std::cerr << "torvane-publish: " << message << "\n"; }

std::string SignaturePath(const std::string& manifest) { return manifest + ".sig"; }

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

Pkey LoadSigningKey(const std::string& path) {
  std::string error;
  Pkey key = LoadPrivateKey(path, error);
  if (!key) {
    Fail(error);
    return nullptr;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
    std::cerr << "warning: " << path << " can be read by other users; chmod 600 it\n";
  }
  return key;
}

int Keygen(const std::string& privatePath, const std::string& publicPath) {
  std::string error;
  if (!GenerateKeyPair(privatePath, publicPath, error)) {
    Fail(error);
    return kExitFailed;
  }
  std::string ignored;
  Pkey key = LoadPublicKey(publicPath, ignored);
  std::cout << "wrote " << privatePath << " (private, mode 0600: keep it off the update server)\n"
            << "wrote " << publicPath << " (public: build Torvane with it)\n"
            << "key id " << (key ? KeyId(key.get()) : "?") << "\n";
  return kExitOk;
}

int Release(const ReleaseOptions& options, const std::string& keyPath) {
  Pkey key;
  if (!keyPath.empty() && !(key = LoadSigningKey(keyPath))) return kExitFailed;
  const ReleasePlan plan = PlanRelease(options);
  for (const std::string& warning : plan.warnings) std::cerr << "warning: " << warning << "\n";
  if (!plan.errors.empty()) {
    for (const std::string& error : plan.errors) std::cerr << "error: " << error << "\n";
    Fail("release " + options.version + " refused; " + options.manifestPath + " is unchanged");
    return kExitFailed;
  }
  std::string error;
  if (!CommitRelease(options, plan, key.get(), error)) {
    Fail(error);
    return kExitFailed;
  }
  for (const ReleaseFile& file : plan.files) {
    std::cout << "  " << GbkForDisplay(file.filePath) << "  " << file.digests.size << " bytes\n";
  }
  std::cout << "release " << options.version << ": " << plan.files.size() << " file(s) copied to "
            << options.outDir << "/" << options.version << "/, " << options.manifestPath << " written";
  if (key)
    std::cout << ", signed with key " << KeyId(key.get()) << " in " << SignaturePath(options.manifestPath);
  std::cout << "\n";
  if (!key && Exists(SignaturePath(options.manifestPath))) {
    std::cerr << "warning: " << SignaturePath(options.manifestPath)
              << " belongs to the previous manifest and no longer verifies: run sign\n";
  }
  return kExitOk;
}

int Sign(const std::string& manifestPath, const std::string& keyPath, bool add) {
  const Pkey key = LoadSigningKey(keyPath);
  if (!key) return kExitFailed;
  const auto manifest = ReadWholeFile(manifestPath);
  if (!manifest) {
    Fail(manifestPath + ": cannot read");
    return kExitFailed;
  }
  const std::string sigPath = SignaturePath(manifestPath);
  std::vector<SignatureEntry> entries;
  if (add && Exists(sigPath)) {
    const auto existing = ReadWholeFile(sigPath);
    std::string error;
    if (!existing || !ParseSignatureFile(*existing, entries, error)) {
      Fail(sigPath + ": " + (existing ? error : "cannot read") + "; not adding to it");
      return kExitFailed;
    }
  }
  const SignatureEntry entry = SignManifest(key.get(), *manifest);
  if (entry.value.empty()) {
    Fail("signing failed");
    return kExitFailed;
  }
  // A new signature by the same key replaces its old one.
  std::vector<SignatureEntry> kept;
  for (const SignatureEntry& old : entries) {
    if (old.keyId != entry.keyId) kept.push_back(old);
  }
  kept.push_back(entry);
  if (kept.size() > static_cast<std::size_t>(kMaxSignatureSections)) {
    Fail(sigPath + " already holds " + std::to_string(kMaxSignatureSections) +
         " signatures; the updater reads no more");
    return kExitFailed;
  }
  std::string error;
  if (!WriteFileAtomically(sigPath, FormatSignatureFile(kept), error)) {
    Fail(error);
    return kExitFailed;
  }
  std::cout << "wrote " << sigPath << ": [Signature" << kept.size() - 1 << "] key " << entry.keyId;
  if (kept.size() > 1) std::cout << " (" << kept.size() - 1 << " other signature(s) kept)";
  std::cout << "\n";
  return kExitOk;
}

int Verify(const std::string& manifestPath, const std::vector<std::string>& keyPaths) {
  const auto manifest = ReadWholeFile(manifestPath);
  const std::string sigPath = SignaturePath(manifestPath);
  const auto signature = ReadWholeFile(sigPath);
  if (!manifest || !signature) {
    Fail((manifest ? sigPath : manifestPath) + ": cannot read");
    return kExitFailed;
  }
  std::vector<Pkey> keys;
  std::vector<EVP_PKEY*> keyPointers;
  for (const std::string& keyPath : keyPaths) {
    std::string error;
    keys.push_back(LoadPublicKey(keyPath, error));
    if (!keys.back()) {
      Fail(error);
      return kExitFailed;
    }
    keyPointers.push_back(keys.back().get());
  }
  int keyIndex = -1;
  if (UpdaterAccepts(*signature, keyPointers, *manifest, &keyIndex)) {
    std::cout << sigPath << " verifies with " << keyPaths[keyIndex] << " (key "
              << KeyId(keyPointers[keyIndex]) << ")\n";
    return kExitOk;
  }
  std::vector<SignatureEntry> entries;
  std::string error;
  if (!ParseSignatureFile(*signature, entries, error)) {
    std::cerr << sigPath << ": " << error << "\n";
  } else {
    std::cerr << sigPath << " has signatures by key(s):";
    for (const SignatureEntry& entry : entries) std::cerr << " " << entry.keyId;
    std::cerr << "\nthe keys given are:";
    for (EVP_PKEY* key : keyPointers) std::cerr << " " << KeyId(key);
    std::cerr << "\n";
  }
  Fail(manifestPath + " is NOT signed by any of the keys given; clients built with them refuse it");
  return kExitFailed;
}

std::string FindingLine(const std::string& manifestPath, const Finding& finding) {
  std::string where = "[" + finding.section + "]";
  if (!finding.key.empty()) where += " " + finding.key;
  return manifestPath + ": " + (finding.severity == Severity::kError ? "error: " : "warning: ") + where +
         ": " + finding.message;
}

void CheckFetched(const std::vector<FileEntry>& files, bool showProgress, LintResult& result) {
  std::vector<std::string> urls;
  std::map<std::string, std::size_t> urlIndex;
  for (const FileEntry& file : files) {
    if (urlIndex.emplace(file.url, urls.size()).second) urls.push_back(file.url);
  }
  auto lastShown = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  const auto progress = [&](const FetchProgress& p) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastShown < std::chrono::milliseconds(200) && p.done != p.total) return;
    lastShown = now;
    std::fprintf(stderr, "\rfetching: %zu/%zu done, %zu running, %.1f MiB   ", p.done, p.total, p.running,
                 static_cast<double>(p.bytes) / (1024.0 * 1024.0));
    std::fflush(stderr);
  };
  const auto outcomes =
      FetchAll(urls, 4, showProgress ? progress : std::function<void(const FetchProgress&)>());
  if (showProgress) std::fprintf(stderr, "\r%60s\r", "");

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

int Lint(const std::string& manifestPath, bool fetch, const std::string& installed) {
  const auto manifest = ReadWholeFile(manifestPath);
  if (!manifest) {
    Fail(manifestPath + ": cannot read");
    return kExitFailed;
  }
  const std::string sigPath = SignaturePath(manifestPath);
  const bool signedManifest = Exists(sigPath);
  LintResult result = LintManifest(*manifest, signedManifest);
  if (signedManifest) {
    const auto signature = ReadWholeFile(sigPath);
    std::vector<SignatureEntry> entries;
    std::string error;
    if (!signature || !ParseSignatureFile(*signature, entries, error)) {
      result.findings.push_back(Finding{Severity::kError, "Signature", "", sigPath + ": " + error});
    }
  }
  if (!installed.empty()) ShowInstalled(*manifest, installed, result);
  if (fetch) CheckFetched(result.files, ::isatty(STDERR_FILENO) != 0, result);
  if (fetch) CheckFetchedPatches(*manifest, result.files, result);

  std::size_t errors = 0;
  for (const Finding& finding : result.findings) {
    std::cout << FindingLine(manifestPath, finding) << "\n";
    if (finding.severity == Severity::kError) ++errors;
  }
  std::cout << manifestPath << ": " << result.versions.size() << " release(s) listed, " << result.files.size()
            << " file entries, " << errors << " error(s), " << result.findings.size() - errors
            << " warning(s)\n";
  return errors == 0 ? kExitOk : kExitFailed;
}

}  // namespace
}  // namespace publish

int main(int argc, char** argv) {
  using namespace publish;
  CLI::App app{
      "torvane-publish: builds, signs and checks the update manifest (HistoryVersionList.cfg) "
      "that Torvane reads, with the updater's own rules.\n"
      "Exit status: 0 success (lint: no errors), 1 failure (lint: errors found), 2 usage."};
  app.require_subcommand(1);

  std::string privatePath, publicPath;
  auto* keygen =
      app.add_subcommand("keygen", "Make a new P-256 signing key pair (the private key gets mode 0600).");
  keygen->add_option("PRIVATE", privatePath, "Private key file to create (PEM)")->required();
  keygen->add_option("PUBLIC", publicPath, "Public key file to create (PEM); build Torvane with it")
      ->required();

  ReleaseOptions release;
  std::string releaseKey;
  auto* rel = app.add_subcommand("release",
                                 "Add release V to the manifest: the files of NEW_DIR that are new or "
                                 "changed since OLD_DIR are copied to SERVED_DIR/V/ and listed.");
  rel->add_option("--manifest", release.manifestPath, "Manifest file (created when missing)")->required();
  rel->add_option("--version", release.version, "Version number of the new release (plain decimal)")
      ->required();
  rel->add_option("--from", release.fromDir, "Folder with the files of the previous release")->required();
  rel->add_option("--to", release.toDir, "Folder with the files of the new release")->required();
  rel->add_option("--base-url", release.baseUrl, "Address under which SERVED_DIR is served")->required();
  rel->add_option("--out", release.outDir, "SERVED_DIR: the files are copied to SERVED_DIR/V/")->required();
  rel->add_option("--name", release.name, "Name shown for the release (CurrentVersionNum); default V");
  rel->add_option("--key", releaseKey, "Private key: also write MANIFEST.sig")->check(CLI::ExistingFile);
  rel->add_option("--from-version", release.fromVersion,
                  "Version of the clients that have the --from files; needed when the manifest is new");
  rel->add_flag(
      "--deltas", release.deltas,
      "Also make a patch for each changed file from its version in --from (kept when under 60 % of it)");
  rel->add_option("--delta-base", release.deltaBases,
                  "Folder of an older release to make patches from as well (with --deltas; repeatable)")
      ->check(CLI::ExistingDirectory);

  std::string signManifest, signKey;
  bool signAdd = false;
  auto* sign = app.add_subcommand("sign", "Write MANIFEST.sig, the manifest's signature.");
  sign->add_option("MANIFEST", signManifest, "Manifest file")->required()->check(CLI::ExistingFile);
  sign->add_option("PRIVATE", signKey, "Private key (PEM)")->required()->check(CLI::ExistingFile);
  sign->add_flag("--add", signAdd, "Keep the signatures by other keys already in MANIFEST.sig (key change)");

  std::string verifyManifest;
  std::vector<std::string> verifyKeys;
  auto* verify =
      app.add_subcommand("verify", "Exit 0 only if MANIFEST.sig verifies with one of the public keys.");
  verify->add_option("MANIFEST", verifyManifest, "Manifest file")->required()->check(CLI::ExistingFile);
  verify->add_option("PUBLIC", verifyKeys, "Public key(s) (PEM)")->required()->check(CLI::ExistingFile);

  std::string lintManifest, lintInstalled;
  bool lintFetch = false;
  auto* lint = app.add_subcommand(
      "lint", "Check the manifest as the updater reads it. Exit 0 clean, 1 errors, 2 usage.");
  lint->add_option("MANIFEST", lintManifest, "Manifest file")->required()->check(CLI::ExistingFile);
  lint->add_flag("--fetch", lintFetch,
                 "Download every file URL and check status, Content-Length and digests");
  lint->add_option("--installed", lintInstalled, "Show which files a client at this version gets")
      ->check(CLI::Validator(
          [](std::string& text) {
            return IsPlainVersion(text) ? std::string() : "a version is a plain decimal number";
          },
          "VERSION"));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }
  if (*keygen) return Keygen(privatePath, publicPath);
  if (*rel) return Release(release, releaseKey);
  if (*sign) return Sign(signManifest, signKey, signAdd);
  if (*verify) return Verify(verifyManifest, verifyKeys);
  return Lint(lintManifest, lintFetch, lintInstalled);
}
