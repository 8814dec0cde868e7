#include <iostream>

#include "tools/publish/command_common.h"
#include "tools/publish/gbk_text.h"
#include "tools/publish/release_builder.h"

namespace publish {

int Release(const ReleaseOptions& options, const SigningOptions& signing, bool dryRun) {
  std::vector<SigningKey> keys;
  if (!LoadKeys(signing.keyPaths, signing.pass, keys)) return kExitFailed;
  PublishLock lock;
  if (!dryRun && !LockForWriting(options.manifestPath, lock)) return kExitFailed;
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

}  // namespace publish
