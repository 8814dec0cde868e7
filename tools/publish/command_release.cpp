#include <filesystem>
#include <iostream>
#include <memory>

#include "tools/publish/command_common.h"
#include "tools/publish/delta_options.h"
#include "tools/publish/gbk_text.h"
#include "tools/publish/release_builder.h"
#include "tools/publish/report_url_option.h"

namespace publish {
namespace {

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
    lock.RemoveIfNew();
    return Refuse("release " + options.version + " refused; " + options.manifestPath + " is unchanged");
  }
  std::string error;
  if (!dryRun && !CommitRelease(options, plan, signature ? &*signature : nullptr, error)) return Refuse(error);
  for (const ReleaseFile& file : plan.files) {
    std::cout << "  " << GbkForDisplay(file.filePath) << "  " << file.digests.size << " bytes\n";
  }
  std::cout << (dryRun ? "dry run, nothing written: release " : "release ") << options.version << ": "
            << plan.files.size() << " file(s) " << (dryRun ? "to copy" : "copied") << " to "
            << (std::filesystem::path(options.outDir) / options.version).lexically_normal().string() << "/, " << options.manifestPath << (dryRun ? " to write" : " written");
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

}  // namespace

Command AddReleaseCommand(CLI::App& app, CommonOptions& common) {
  struct Arguments {
    ReleaseOptions release;
    SigningOptions signing;
    bool dryRun = false;
  };
  auto arguments = std::make_shared<Arguments>();
  ReleaseOptions& release = arguments->release;
  CLI::App* rel = app.add_subcommand("release",
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
  AddSigningOptions(*rel, arguments->signing);
  rel->add_option("--from-version", release.fromVersion,
                  "Version of the clients that have the --from files; needed when the manifest is new");
  rel->add_flag("--dry-run", arguments->dryRun, "Check everything and print the plan; write nothing");
  AddReportUrlOption(*rel, release.reportUrl);
  AddQuietFlag(*rel, common);
  AddDeltaOptions(*rel, release);
  return {rel, [arguments] {
            const std::string problem = SigningUsageProblem(arguments->signing);
            if (!problem.empty()) return Refuse(problem, kExitUsage);
            return Release(arguments->release, arguments->signing, arguments->dryRun);
          }};
}

}  // namespace publish
