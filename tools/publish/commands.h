#pragma once
// The commands of torvane-publish, each in a file of its own (command_*.cpp);
// main.cpp only parses the command line and calls one of them. Each returns
// the process's exit status.

#include <string>
#include <vector>

#include "tools/publish/release_builder.h"

namespace publish {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct SigningOptions {
  std::vector<std::string> keyPaths;
  std::vector<std::string> dropKeys;
  std::string pass;
  std::string expires = "90d";
  bool force = false;   // an --expires under a day or over two years
  std::string serial;   // --serial: the Serial to write, above the manifest's
  std::string reportUrl;  // --report-url: [Root] ReportUrl to set before signing
};

struct LintOptions {
  bool fetch = false;
  std::string installed;
  std::vector<std::string> publicKeys;
  int jobs = 4;
  long timeout = 30;
  std::string url;  // where the manifest itself is served
  bool quiet = false;
};

int Keygen(const std::string& privatePath, const std::string& publicPath);
int KeyIdOf(const std::string& publicPath);
int Release(const ReleaseOptions& options, const SigningOptions& signing, bool dryRun);
int Sign(const std::string& manifestPath, const SigningOptions& signing, bool add, bool renew);
int Verify(const std::string& manifestPath, const std::vector<std::string>& keyPaths);
int Lint(const std::string& manifestPath, const LintOptions& options);

}  // namespace publish
