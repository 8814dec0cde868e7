#pragma once
// Options that more than one command takes, added to each by the same words.

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/publish/commands.h"

namespace publish {

struct SigningOptions {
  std::vector<std::string> keyPaths;
  std::vector<std::string> dropKeys;
  std::string pass;
  std::string expires = "90d";
  bool force = false;   // an --expires under a day or over two years
  std::string serial;   // --serial: the Serial to write, above the manifest's
  std::string reportUrl;  // --report-url: [Root] ReportUrl to set before signing
};

// The command's own -q/--quiet, the same flag as the one before its name.
void AddQuietFlag(CLI::App& command, CommonOptions& common);

// --key, --drop-key, --pass, --expires, --force and --serial.
void AddSigningOptions(CLI::App& command, SigningOptions& signing);

// The --expires given, as a usage error: empty when it can be used.
std::string SigningUsageProblem(const SigningOptions& signing);

}  // namespace publish
