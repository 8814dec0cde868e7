// torvane-publish: makes, signs and checks the update manifest that Torvane
// reads, with the updater's own readers and rules. This file only reads the
// command line; each command lives in its own command_*.cpp.

#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/publish/command_report.h"
#include "tools/publish/commands.h"
#include "tools/publish/report_url_option.h"
#include "tools/publish/delta_options.h"
#include "tools/publish/manifest_lint.h"
#include "tools/publish/signing_plan.h"

namespace publish {
namespace {

constexpr char kToolVersion[] = "1.1";

void Fail(const std::string& message) { std::cerr << "torvane-publish: " << message << "\n"; }

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
         "\"; the commands are keygen, keyid, release, sign, verify, lint and report (see torvane-publish --help)");
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
    command->add_option("--pass", signing.pass, "Passphrase of the private keys: env:VAR or file:PATH")
        ->check(CLI::Validator(
            [](std::string& source) {
              std::string passphrase, error;
              return ReadPassphrase(source, passphrase, error) ? std::string() : error;
            },
            "env:VAR|file:PATH"));
    command->add_option("--expires", signing.expires,
                        "How long the signed manifest stays valid, in hours, days or weeks: 90d (default), "
                        "36h, 2w; under 1d or over 2 years only with --force");
    command->add_flag("--force", signing.force, "Take an --expires under a day or over two years");
    command->add_option("--serial", signing.serial,
                        "Serial to write (above the manifest's own): to start a new manifest above the "
                        "Serial clients last read");
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
  rel->add_option("--from", release.fromDir, "Folder with the files of the previous release")
      ->required()
      ->check(CLI::ExistingDirectory);
  rel->add_option("--to", release.toDir, "Folder with the files of the new release")
      ->required()
      ->check(CLI::ExistingDirectory);
  rel->add_option("--base-url", release.baseUrl, "Address under which SERVED_DIR is served")->required();
  rel->add_option("--out", release.outDir, "SERVED_DIR: the files are copied to SERVED_DIR/V/")->required();
  rel->add_option("--name", release.name, "Name shown for the release (CurrentVersionNum); default V");
  addSigning(rel, releaseSigning);
  rel->add_option("--from-version", release.fromVersion,
                  "Version of the clients that have the --from files; needed when the manifest is new");
  rel->add_flag("--dry-run", dryRun, "Check everything and print the plan; write nothing");
  AddReportUrlOption(*rel, release.reportUrl);
  addQuiet(rel);
  AddDeltaOptions(*rel, release);

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
  AddReportUrlOption(*sign, signing.reportUrl);
  addQuiet(sign);

  std::string keyIdPublic;
  auto* keyid = app.add_subcommand("keyid", "Print the key id of a public key (what --drop-key takes).");
  keyid->add_option("PUBLIC", keyIdPublic, "Public key file (PEM)")->required()->check(CLI::ExistingFile);
  addQuiet(keyid);

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

  const auto runReport = AddReportCommand(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return ExplainUsageError(app, e, argc, argv);
  }
  lintOptions.quiet = quiet;
  // Quiet: the report on standard output goes; warnings and errors stay.
  if (quiet) std::cout.setstate(std::ios::badbit);
  for (const auto& [command, options] : {std::pair<CLI::App*, const SigningOptions*>{rel, &releaseSigning},
                                         {sign, &signing}}) {
    const std::string problem = *command ? ExpiresProblem(options->expires, options->force) : std::string();
    if (!problem.empty()) {
      Fail(problem);
      return kExitUsage;
    }
  }
  if (const std::optional<int> status = runReport()) return *status;
  if (*keygen) return Keygen(privatePath, publicPath);
  if (*keyid) return KeyIdOf(keyIdPublic);
  if (*rel) return Release(release, releaseSigning, dryRun);
  if (*sign) {
    signing.keyPaths.insert(signing.keyPaths.begin(), signPositionalKeys.begin(), signPositionalKeys.end());
    return Sign(signManifest, signing, signAdd, signRenew);
  }
  if (*verify) return Verify(verifyManifest, verifyKeys);
  return Lint(lintManifest, lintOptions);
}
