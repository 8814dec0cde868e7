#pragma once
// What several commands share: the error line, the signature file beside the
// manifest, the signing keys and the signing of a stamped manifest.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/publish/command_options.h"
#include "tools/publish/commands.h"
#include "tools/publish/manifest_lint.h"
#include "tools/publish/publish_lock.h"
#include "tools/publish/signing_plan.h"

namespace publish {

// "torvane-publish: message" on standard error.
void Fail(const std::string& message);

// A command that stops: says why, and gives the exit status to return.
int Refuse(const std::string& message, int status = kExitFailed);

std::string SignaturePath(const std::string& manifest);
bool Exists(const std::string& path);
int64_t Now();

// The signing keys of --key (and a positional key), opened with --pass; a
// warning for a key file others can read.
bool LoadKeys(const std::vector<std::string>& paths, const std::string& passSource,
              std::vector<SigningKey>& keys);

// Takes the lock of a command that writes manifestPath, then removes what a
// killed run left beside the manifest and its signature file. False after
// saying why.
bool LockForWriting(const std::string& manifestPath, PublishLock& lock);

// One finding as printed: "MANIFEST: error: [Section] Key: message".
std::string FindingLine(const std::string& manifestPath, const Finding& finding);

// Prints the errors of findings; true when there are none.
bool ShowErrors(const std::string& manifestPath, const LintResult& result);

// The existing signature file's text, or null when there is none.
std::optional<std::string> ExistingSignature(const std::string& manifestPath);

void SayRemoved(const std::string& sigPath, const std::vector<std::string>& removed);

// Stamps and signs manifest with every key; the signature file's text, or
// nullopt after saying why.
std::optional<std::string> SignStamped(const std::string& manifestPath, std::string& manifest,
                                       const std::vector<SigningKey>& keys, const SigningOptions& options);

}  // namespace publish
