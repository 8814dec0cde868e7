#include "tools/publish/command_options.h"

#include "tools/publish/signing_plan.h"

namespace publish {

void AddQuietFlag(CLI::App& command, CommonOptions& common) {
  command.add_flag("-q,--quiet", common.quiet, "Print only warnings and errors");
}

void AddSigningOptions(CLI::App& command, SigningOptions& signing) {
  command.add_option("--key", signing.keyPaths, "Private key to sign with; repeat for each key in use")
      ->check(CLI::ExistingFile);
  command.add_option("--drop-key", signing.dropKeys,
                     "KEYID whose signature may be dropped from MANIFEST.sig (a retired key)");
  command.add_option("--pass", signing.pass, "Passphrase of the private keys: env:VAR or file:PATH")
      ->check(CLI::Validator(
          [](std::string& source) {
            std::string passphrase, error;
            return ReadPassphrase(source, passphrase, error) ? std::string() : error;
          },
          "env:VAR|file:PATH"));
  command.add_option("--expires", signing.expires,
                     "How long the signed manifest stays valid, in hours, days or weeks: 90d (default), "
                     "36h, 2w; under 1d or over 2 years only with --force");
  command.add_flag("--force", signing.force, "Take an --expires under a day or over two years");
  command.add_option("--serial", signing.serial,
                     "Serial to write (above the manifest's own): to start a new manifest above the "
                     "Serial clients last read");
}

std::string SigningUsageProblem(const SigningOptions& signing) {
  return ExpiresProblem(signing.expires, signing.force);
}

}  // namespace publish
