// torvane-publish: makes, signs and checks the update manifest that Torvane
// reads, with the updater's own readers and rules.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
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
#include "tools/publish/signing_plan.h"
#include "tools/publish/url_fetcher.h"
#include "updater/base/text_rules.h"
#include "updater/transfer/md5.h"

namespace publish {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr char kToolVersion[] = "1.1";

void Fail(const std::string& message) { std::cerr << "torvane-publish: " << message << "\n"; }

std::string SignaturePath(const std::string& manifest) { return manifest + ".sig"; }

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// The signing keys of --key (and a positional key), opened with --pass; a
// warning for a key file others can read.
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

std::string FindingLine(const std::string& manifestPath, const Finding& finding);

// Prints the errors of findings; true when there are none.
bool ShowErrors(const std::string& manifestPath, const LintResult& result) {
  for (const Finding& finding : result.findings) {
    if (finding.severity == Severity::kError) std::cerr << FindingLine(manifestPath, finding) << "\n";
  }
  return !result.HasErrors();
}

// The existing signature file's text, or null when there is none.
std::optional<std::string> ExistingSignature(const std::string& manifestPath) {
  if (!Exists(SignaturePath(manifestPath))) return std::nullopt;
  return ReadWholeFile(SignaturePath(manifestPath)).value_or(std::string());
}

void SayRemoved(const std::string& sigPath, const std::vector<std::string>& removed) {
  for (const std::string& id : removed) {
    std::cerr << "note: the signature by key " << id << " is removed from " << sigPath << " (--drop-key)\n";
  }
}

struct SigningOptions {
  std::vector<std::string> keyPaths;
  std::vector<std::string> dropKeys;
  std::string pass;
  std::string expires = "90d";
};

// Stamps and signs manifest with every key; the signature file's text, or
// nullopt after saying why.
std::optional<std::string> SignStamped(const std::string& manifestPath, std::string& manifest,
                                       const std::vector<SigningKey>& keys, const SigningOptions& options) {
  int64_t validFor = 0;
  if (!ParseDuration(options.expires, validFor)) {
    Fail("--expires \"" + options.expires + "\": give a duration such as 90d, 12h or 2w");
    return std::nullopt;
  }
  manifest = StampManifest(manifest, Now(), validFor);
  LintResult result = LintManifest(manifest, true);
  LintExpiry(manifest, Now(), result);
  if (!ShowErrors(manifestPath, result)) {
    Fail(manifestPath + ": a client built with keys would refuse it; nothing signed");
    return std::nullopt;
  }
  std::vector<SignatureEntry> entries;
  std::string error;
  if (!SignWithEach(keys, manifest, entries, error)) {
    Fail(error);
    return std::nullopt;
  }
  return FormatSignatureFile(entries);
}

int Release(const ReleaseOptions& options, const SigningOptions& signing, bool dryRun) {
  std::vector<SigningKey> keys;
  if (!LoadKeys(signing.keyPaths, signing.pass, keys)) return kExitFailed;
  ReleasePlan plan = PlanRelease(options);
  for (const std::string& warning : plan.warnings) std::cerr << "warning: " << warning << "\n";
  const std::string sigPath = SignaturePath(options.manifestPath);
  std::vector<std::string> removed;
  if (keys.empty() && Exists(sigPath)) {
    plan.errors.push_back(sigPath +
                          " exists and would no longer verify: give --key (every key that signs it), "
                          "or move it away to publish unsigned");
  }
  if (plan.errors.empty() && !keys.empty()) {
    const auto existing = ExistingSignature(options.manifestPath);
    std::string error;
    if (!CheckKeyChange(existing ? &*existing : nullptr, keys, signing.dropKeys, removed, error)) {
      plan.errors.push_back(sigPath + ": " + error);
    }
  }
  std::optional<std::string> signature;
  if (plan.errors.empty() && !keys.empty()) {
    signature = SignStamped(options.manifestPath, plan.manifest, keys, signing);
    if (!signature) plan.errors.push_back("the new manifest cannot be signed");
  }
  if (!plan.errors.empty()) {
    for (const std::string& error : plan.errors) std::cerr << "error: " << error << "\n";
    Fail("release " + options.version + " refused; " + options.manifestPath + " is unchanged");
    return kExitFailed;
  }
  std::string error;
  if (!dryRun && !CommitRelease(options, plan, signature ? &*signature : nullptr, error)) {
    Fail(error);
    return kExitFailed;
  }
  for (const ReleaseFile& file : plan.files) {
    std::cout << "  " << GbkForDisplay(file.filePath) << "  " << file.digests.size << " bytes\n";
  }
  std::cout << (dryRun ? "dry run, nothing written: release " : "release ") << options.version << ": "
            << plan.files.size() << " file(s) " << (dryRun ? "to copy" : "copied") << " to " << options.outDir
            << "/" << options.version << "/, " << options.manifestPath << (dryRun ? " to write" : " written");
  if (!keys.empty()) {
    const ManifestStamp stamp = ReadManifestStamp(plan.manifest);
    std::cout << " (Expires=" << stamp.expires << ", Serial=" << stamp.serial << "), signed in " << sigPath
              << " with key(s)";
    for (const SigningKey& key : keys) std::cout << " " << key.id;
  }
  std::cout << "\n";
  SayRemoved(sigPath, removed);
  return kExitOk;
}

int Sign(const std::string& manifestPath, const SigningOptions& signing, bool add, bool renew) {
  std::vector<SigningKey> keys;
  if (!LoadKeys(signing.keyPaths, signing.pass, keys)) return kExitFailed;
  if (keys.empty()) {
    Fail("sign: give a private key");
    return kExitUsage;
  }
  auto manifest = ReadWholeFile(manifestPath);
  if (!manifest) {
    Fail(manifestPath + ": cannot read");
    return kExitFailed;
  }
  const std::string sigPath = SignaturePath(manifestPath);
  const auto existing = ExistingSignature(manifestPath);
  LintResult result = LintManifest(*manifest, true);
  if (add) LintExpiry(*manifest, Now(), result);
  if (!ShowErrors(manifestPath, result)) {
    Fail(manifestPath + ": a client built with keys would refuse it; nothing signed" +
         (add ? " (--add keeps the manifest as it is: sign it without --add, with every key)" : ""));
    return kExitFailed;
  }
  std::string error;
  if (add) {
    // The manifest stays as it is, so the other keys' signatures still hold.
    std::vector<SignatureEntry> entries;
    if (existing && !ParseSignatureFile(*existing, entries, error)) {
      Fail(sigPath + ": " + error + "; not adding to it");
      return kExitFailed;
    }
    std::vector<SignatureEntry> made;
    if (!SignWithEach(keys, *manifest, made, error)) {
      Fail(error);
      return kExitFailed;
    }
    std::vector<SignatureEntry> kept;
    for (const SignatureEntry& old : entries) {
      bool resigned = false;
      for (const SigningKey& key : keys) resigned = resigned || key.id == old.keyId;
      if (!resigned) kept.push_back(old);
    }
    const std::size_t others = kept.size();
    kept.insert(kept.end(), made.begin(), made.end());
    if (kept.size() > static_cast<std::size_t>(kMaxSignatureSections)) {
      Fail(sigPath + " would hold " + std::to_string(kept.size()) +
           " signatures; the updater reads at most " + std::to_string(kMaxSignatureSections));
      return kExitFailed;
    }
    if (!WriteFileAtomically(sigPath, FormatSignatureFile(kept), error)) {
      Fail(error);
      return kExitFailed;
    }
    std::cout << "wrote " << sigPath << ": signed by key(s)";
    for (const SigningKey& key : keys) std::cout << " " << key.id;
    if (others > 0) std::cout << " (" << others << " other signature(s) kept)";
    std::cout << "\n";
    return kExitOk;
  }
  std::vector<std::string> removed;
  if (!CheckKeyChange(existing ? &*existing : nullptr, keys, signing.dropKeys, removed, error)) {
    Fail(sigPath + ": " + error + "; nothing written");
    return kExitFailed;
  }
  if (renew) {
    std::vector<EVP_PKEY*> pointers;
    for (const SigningKey& key : keys) pointers.push_back(key.key.get());
    if (!existing || !UpdaterAccepts(*existing, pointers, *manifest)) {
      Fail(manifestPath + " is not the manifest " + sigPath +
           " signed with these keys: --renew only moves the expiry of a signed, unchanged manifest; "
           "check the changes and sign without --renew");
      return kExitFailed;
    }
  }
  const auto signature = SignStamped(manifestPath, *manifest, keys, signing);
  if (!signature) return kExitFailed;
  if (!ReplaceTogether({FileBytes{sigPath, *signature}, FileBytes{manifestPath, *manifest}}, error)) {
    Fail(error);
    return kExitFailed;
  }
  const ManifestStamp stamp = ReadManifestStamp(*manifest);
  std::cout << "wrote " << manifestPath << " (Expires=" << stamp.expires << ", Serial=" << stamp.serial
            << ") and " << sigPath << ": signed by key(s)";
  for (const SigningKey& key : keys) std::cout << " " << key.id;
  std::cout << "\n";
  SayRemoved(sigPath, removed);
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
  // A signature that verifies is worth nothing on a manifest the updater refuses.
  LintResult result = LintManifest(*manifest, true);
  LintExpiry(*manifest, Now(), result);
  const bool readable = ShowErrors(manifestPath, result);
  int keyIndex = -1;
  if (UpdaterAccepts(*signature, keyPointers, *manifest, &keyIndex)) {
    if (!readable) {
      Fail(manifestPath + ": the signature verifies, but clients built with keys refuse the manifest");
      return kExitFailed;
    }
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

struct LintOptions {
  bool fetch = false;
  std::string installed;
  std::vector<std::string> publicKeys;
  int jobs = 4;
  long timeout = 30;
  std::string url;  // where the manifest itself is served
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

// The manifest and signature file served at url against the local ones: a
// publisher who uploaded in the wrong order or forgot one file sees it here.
void CheckServedManifest(const std::string& manifestPath, const std::string& manifest,
                         const LintOptions& options, LintResult& result) {
  const std::string sigPath = SignaturePath(manifestPath);
  const auto signature = ReadWholeFile(sigPath);
  std::vector<std::string> urls{options.url};
  if (signature) urls.push_back(options.url + ".sig");
  const auto outcomes = FetchAll(urls, 2, {}, options.timeout, options.timeout);
  const std::string* local[] = {&manifest, signature ? &*signature : nullptr};
  for (std::size_t i = 0; i < urls.size(); ++i) {
    const FetchOutcome& got = outcomes[i];
    const char* section = i == 0 ? "Root" : "Signature";
    auto error = [&](const std::string& message) {
      result.findings.push_back(Finding{Severity::kError, section, "", urls[i] + ": " + message});
    };
    if (!got.error.empty()) {
      error(got.error);
    } else if (got.status < 200 || got.status > 299) {
      error("HTTP status " + std::to_string(got.status));
    } else if (got.body.sha256 != HexText(Sha256(*local[i]))) {
      error(std::string("the served bytes differ from ") + (i == 0 ? manifestPath : sigPath) +
            (i == 0 ? "" : ": clients built with keys refuse the served manifest"));
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
  if (options.fetch) CheckFetchedPatches(*manifest, result.files, result);
  if (!options.url.empty()) CheckServedManifest(manifestPath, *manifest, options, result);

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

// Usage errors in plain words: an unknown command or option is named, with
// where to read the right ones. --help and --version end here too, with 0.
int ExplainUsageError(CLI::App& app, const CLI::ParseError& e, int argc, char** argv) {
  if (dynamic_cast<const CLI::CallForHelp*>(&e) || dynamic_cast<const CLI::CallForAllHelp*>(&e) ||
      dynamic_cast<const CLI::CallForVersion*>(&e)) {
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }
  bool known = false;
  for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
    known = known || (argc > 1 && sub->get_name() == argv[1]);
  }
  if (argc > 1 && argv[1][0] != '-' && !known) {
    Fail(std::string("unknown command \"") + argv[1] +
         "\"; the commands are keygen, release, sign, verify and lint (see torvane-publish --help)");
    return kExitUsage;
  }
  // An unknown option is named even when CLI11 first trips over a missing one.
  CLI::App* command = argc > 1 && known ? app.get_subcommand(argv[1]) : &app;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg.size() != 2)) continue;
    const std::string name = arg.substr(0, arg.find('='));
    if (command->get_option_no_throw(name) || app.get_option_no_throw(name)) continue;
    Fail("unknown option " + name + (command == &app ? std::string() : " for " + command->get_name()) +
         " (see torvane-publish" + (command == &app ? std::string() : " " + command->get_name()) +
         " --help)");
    return kExitUsage;
  }
  app.exit(e);
  return kExitUsage;
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
  app.set_version_flag("--version", std::string("torvane-publish ") + kToolVersion);
  bool quiet = false;
  app.add_flag("-q,--quiet", quiet, "Print only warnings and errors")->configurable(false);
  // A sub-command's own --quiet as well, wherever a publisher puts it.
  const auto addQuiet = [&quiet](CLI::App* command) {
    command->add_flag("-q,--quiet", quiet, "Print only warnings and errors");
  };

  std::string privatePath, publicPath;
  auto* keygen =
      app.add_subcommand("keygen", "Make a new P-256 signing key pair (the private key gets mode 0600).");
  keygen->add_option("PRIVATE", privatePath, "Private key file to create (PEM)")->required();
  keygen->add_option("PUBLIC", publicPath, "Public key file to create (PEM); build Torvane with it")
      ->required();
  addQuiet(keygen);

  const auto addSigning = [](CLI::App* command, SigningOptions& signing) {
    command->add_option("--key", signing.keyPaths, "Private key to sign with; repeat for each key in use")
        ->check(CLI::ExistingFile);
    command->add_option("--drop-key", signing.dropKeys,
                        "KEYID whose signature may be dropped from MANIFEST.sig (a retired key)");
    command->add_option("--pass", signing.pass, "Passphrase of the private keys: env:VAR or file:PATH");
    command->add_option("--expires", signing.expires,
                        "How long the signed manifest stays valid: 90d (default), 12h, 2w...");
  };

  ReleaseOptions release;
  SigningOptions releaseSigning;
  bool dryRun = false;
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
  addSigning(rel, releaseSigning);
  rel->add_option("--from-version", release.fromVersion,
                  "Version of the clients that have the --from files; needed when the manifest is new");
  rel->add_flag("--dry-run", dryRun, "Check everything and print the plan; write nothing");
  addQuiet(rel);
  rel->add_flag(
      "--deltas", release.deltas,
      "Also make a patch for each changed file from its version in --from (kept when under 60 % of it)");
  rel->add_option("--delta-base", release.deltaBases,
                  "Folder of an older release to make patches from as well (with --deltas; repeatable)")
      ->check(CLI::ExistingDirectory);
  rel->add_option("--delta-max", release.deltaMax,
                  "Largest file to make patches for, e.g. 1G or 300M (default 1G); larger ones are shipped "
                  "whole. Making a patch takes about 6 times the file's size in memory")
      ->transform(CLI::AsSizeValue(false));

  std::string signManifest;
  SigningOptions signing;
  bool signAdd = false, signRenew = false;
  auto* sign = app.add_subcommand(
      "sign", "Set the manifest's Expires and Serial and write MANIFEST.sig, signed by every key given.");
  sign->add_option("MANIFEST", signManifest, "Manifest file")->required()->check(CLI::ExistingFile);
  std::vector<std::string> signPositionalKeys;  // each option fills its own list
  sign->add_option("PRIVATE", signPositionalKeys, "Private key(s) (PEM)")->check(CLI::ExistingFile);
  addSigning(sign, signing);
  sign->add_flag("--add", signAdd,
                 "Add a signature to MANIFEST.sig and keep the others; the manifest is not changed");
  sign->add_flag("--renew", signRenew,
                 "Only move the expiry of a signed, unchanged manifest (checked against MANIFEST.sig)");
  addQuiet(sign);

  std::string verifyManifest;
  std::vector<std::string> verifyKeys;
  auto* verify = app.add_subcommand(
      "verify",
      "Exit 0 only if the manifest is one a keyed client takes and MANIFEST.sig verifies with "
      "one of the public keys.");
  verify->add_option("MANIFEST", verifyManifest, "Manifest file")->required()->check(CLI::ExistingFile);
  verify->add_option("PUBLIC", verifyKeys, "Public key(s) (PEM)")->required()->check(CLI::ExistingFile);
  addQuiet(verify);

  std::string lintManifest;
  LintOptions lintOptions;
  auto* lint = app.add_subcommand(
      "lint", "Check the manifest as the updater reads it. Exit 0 clean, 1 errors, 2 usage.");
  lint->add_option("MANIFEST", lintManifest, "Manifest file")->required()->check(CLI::ExistingFile);
  lint->add_flag("--fetch", lintOptions.fetch,
                 "Download every file URL and check status, Content-Length and digests");
  lint->add_option("--jobs", lintOptions.jobs, "Downloads at once for --fetch (default 4)")
      ->check(CLI::Range(1, 64));
  lint->add_option("--timeout", lintOptions.timeout,
                   "Seconds to wait for a connection or for the next byte (default 30); a host that "
                   "lets one request time out is not asked again")
      ->check(CLI::Range(1, 3600));
  lint->add_option(
      "--url", lintOptions.url,
      "Where the manifest is served: fetch it and its .sig and compare them with the local files");
  lint->add_option("--pub", lintOptions.publicKeys,
                   "Public key the clients are built with; MANIFEST.sig must verify with each")
      ->check(CLI::ExistingFile);
  lint->add_option("--installed", lintOptions.installed, "Show which files a client at this version gets")
      ->check(CLI::Validator(
          [](std::string& text) {
            return IsPlainVersion(text) ? std::string() : "a version is a plain decimal number";
          },
          "VERSION"));
  addQuiet(lint);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return ExplainUsageError(app, e, argc, argv);
  }
  lintOptions.quiet = quiet;
  // Quiet: the report on standard output goes; warnings and errors stay.
  if (quiet) std::cout.setstate(std::ios::badbit);
  if (*keygen) return Keygen(privatePath, publicPath);
  if (*rel) return Release(release, releaseSigning, dryRun);
  if (*sign) {
    signing.keyPaths.insert(signing.keyPaths.begin(), signPositionalKeys.begin(), signPositionalKeys.end());
    return Sign(signManifest, signing, signAdd, signRenew);
  }
  if (*verify) return Verify(verifyManifest, verifyKeys);
  return Lint(lintManifest, lintOptions);
}
