#include <iostream>
#include <memory>

#include "tools/publish/command_common.h"
#include "tools/publish/publish_files.h"
#include "tools/publish/signature_file.h"
#include "tools/publish/signed_pair.h"
#include "tools/publish/report_url_option.h"

namespace publish {
namespace {

enum class SignMode {
  kStamp,  // set Expires and Serial, then sign with every key given
  kAdd,    // add signatures to an unchanged manifest, keeping the others
  kRenew,  // kStamp, only for a manifest that its .sig still verifies
};

void SayKeys(const std::vector<SigningKey>& keys) {
  std::cout << ": signed by key(s)";
  for (const SigningKey& key : keys) std::cout << " " << key.id;
}

// The manifest stays as it is, so the other keys' signatures still hold.
int AddSignatures(const std::string& manifestPath, const std::string& manifest,
                  const std::optional<std::string>& existing, const std::vector<SigningKey>& keys) {
  const std::string sigPath = SignaturePath(manifestPath);
  std::string error;
  std::vector<SignatureEntry> entries;
  if (existing && !ParseSignatureFile(*existing, entries, error)) {
    return Refuse(sigPath + ": " + error + "; not adding to it");
  }
  std::vector<SignatureEntry> made;
  if (!SignWithEach(keys, manifest, made, error)) return Refuse(error);
  std::vector<SignatureEntry> kept;
  for (const SignatureEntry& old : entries) {
    bool resigned = false;
    for (const SigningKey& key : keys) resigned = resigned || key.id == old.keyId;
    if (!resigned) kept.push_back(old);
  }
  const std::size_t others = kept.size();
  kept.insert(kept.end(), made.begin(), made.end());
  if (kept.size() > static_cast<std::size_t>(kMaxSignatureSections)) {
    return Refuse(sigPath + " would hold " + std::to_string(kept.size()) +
                  " signatures; the updater reads at most " + std::to_string(kMaxSignatureSections));
  }
  if (!WriteFileAtomically(sigPath, FormatSignatureFile(kept), error)) return Refuse(error);
  std::cout << "wrote " << sigPath;
  SayKeys(keys);
  if (others > 0) std::cout << " (" << others << " other signature(s) kept)";
  std::cout << "\n";
  return kExitOk;
}

int StampAndSign(const std::string& manifestPath, std::string manifest, const std::optional<std::string>& existing,
                 const std::vector<SigningKey>& keys, const SigningOptions& signing, SignMode mode) {
  const std::string sigPath = SignaturePath(manifestPath);
  std::string error;
  std::vector<std::string> removed;
  if (!CheckKeyChange(existing ? &*existing : nullptr, keys, signing.dropKeys, removed, error)) {
    return Refuse(sigPath + ": " + error + "; nothing written");
  }
  if (mode == SignMode::kRenew) {
    std::vector<EVP_PKEY*> pointers;
    for (const SigningKey& key : keys) pointers.push_back(key.key.get());
    if (!existing || !UpdaterAccepts(*existing, pointers, manifest)) {
      return Refuse(manifestPath + " is not the manifest " + sigPath +
                    " signed with these keys: --renew only moves the expiry of a signed, unchanged manifest; "
                    "check the changes and sign without --renew");
    }
  }
  const auto signature = SignStamped(manifestPath, manifest, keys, signing);
  if (!signature) return kExitFailed;
  if (!ReplaceSignedPair(PairChange{manifestPath, manifest, existing, signature}, error)) return Refuse(error);
  const ManifestStamp stamp = ReadManifestStamp(manifest);
  std::cout << "wrote " << manifestPath << " (Expires=" << stamp.expires << ", Serial=" << stamp.serial
            << ") and " << sigPath;
  SayKeys(keys);
  std::cout << "\n";
  SayRemoved(sigPath, removed);
  return kExitOk;
}

int Sign(const std::string& manifestPath, const SigningOptions& signing, SignMode mode) {
  std::vector<SigningKey> keys;
  if (!LoadKeys(signing.keyPaths, signing.pass, keys)) return kExitFailed;
  if (keys.empty()) return Refuse("sign: give a private key", kExitUsage);
  PublishLock lock;
  if (!LockForWriting(manifestPath, lock)) return kExitFailed;
  auto manifest = ReadWholeFile(manifestPath);
  if (!manifest) return Refuse(manifestPath + ": cannot read");
  const auto existing = ExistingSignature(manifestPath);
  const bool add = mode == SignMode::kAdd;
  LintResult result = LintManifest(*manifest, true);
  if (add) LintExpiry(*manifest, Now(), result);
  if (!ShowErrors(manifestPath, result)) {
    return Refuse(manifestPath + ": a client built with keys would refuse it; nothing signed" +
                  (add ? " (--add keeps the manifest as it is: sign it without --add, with every key)" : ""));
  }
  if (add) return AddSignatures(manifestPath, *manifest, existing, keys);
  return StampAndSign(manifestPath, *manifest, existing, keys, signing, mode);
}

}  // namespace

Command AddSignCommand(CLI::App& app, CommonOptions& common) {
  struct Arguments {
    std::string manifest;
    std::vector<std::string> positionalKeys;  // each option fills its own list
    SigningOptions signing;
    bool add = false, renew = false;
  };
  auto arguments = std::make_shared<Arguments>();
  CLI::App* sign = app.add_subcommand(
      "sign", "Set the manifest's Expires and Serial and write MANIFEST.sig, signed by every key given.");
  sign->add_option("MANIFEST", arguments->manifest, "Manifest file")->required()->check(CLI::ExistingFile);
  sign->add_option("PRIVATE", arguments->positionalKeys, "Private key(s) (PEM)")->check(CLI::ExistingFile);
  AddSigningOptions(*sign, arguments->signing);
  sign->add_flag("--add", arguments->add,
                 "Add a signature to MANIFEST.sig and keep the others; the manifest is not changed");
  sign->add_flag("--renew", arguments->renew,
                 "Only move the expiry of a signed, unchanged manifest (checked against MANIFEST.sig)");
  AddReportUrlOption(*sign, arguments->signing.reportUrl);
  AddQuietFlag(*sign, common);
  return {sign, [arguments] {
            const std::string problem = SigningUsageProblem(arguments->signing);
            if (!problem.empty()) return Refuse(problem, kExitUsage);
            SigningOptions signing = arguments->signing;
            signing.keyPaths.insert(signing.keyPaths.begin(), arguments->positionalKeys.begin(),
                                    arguments->positionalKeys.end());
            // --add leaves the manifest alone, so it wins over --renew.
            const SignMode mode =
                arguments->add ? SignMode::kAdd : arguments->renew ? SignMode::kRenew : SignMode::kStamp;
            return Sign(arguments->manifest, signing, mode);
          }};
}

}  // namespace publish
