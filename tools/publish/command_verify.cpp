#include <iostream>
#include <memory>

#include "tools/publish/command_common.h"
#include "tools/publish/publish_files.h"
#include "tools/publish/signature_file.h"

namespace publish {
namespace {

int Verify(const std::string& manifestPath, const std::vector<std::string>& keyPaths) {
  const auto manifest = ReadWholeFile(manifestPath);
  const std::string sigPath = SignaturePath(manifestPath);
  const auto signature = ReadWholeFile(sigPath);
  if (!manifest || !signature) return Refuse((manifest ? sigPath : manifestPath) + ": cannot read");
  std::vector<Pkey> keys;
  std::vector<EVP_PKEY*> keyPointers;
  for (const std::string& keyPath : keyPaths) {
    std::string error;
    keys.push_back(LoadPublicKey(keyPath, error));
    if (!keys.back()) return Refuse(error);
    keyPointers.push_back(keys.back().get());
  }
  // A signature that verifies is worth nothing on a manifest the updater refuses.
  LintResult result = LintManifest(*manifest, true);
  LintExpiry(*manifest, Now(), result);
  const bool readable = ShowErrors(manifestPath, result);
  int keyIndex = -1;
  if (UpdaterAccepts(*signature, keyPointers, *manifest, &keyIndex)) {
    if (!readable) {
      return Refuse(manifestPath + ": the signature verifies, but clients built with keys refuse the manifest");
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
  return Refuse(manifestPath + " is NOT signed by any of the keys given; clients built with them refuse it");
}

}  // namespace

Command AddVerifyCommand(CLI::App& app, CommonOptions& common) {
  struct Arguments {
    std::string manifest;
    std::vector<std::string> keys;
  };
  auto arguments = std::make_shared<Arguments>();
  CLI::App* verify = app.add_subcommand(
      "verify",
      "Exit 0 only if the manifest is one a keyed client takes and MANIFEST.sig verifies with "
      "one of the public keys.");
  verify->add_option("MANIFEST", arguments->manifest, "Manifest file")->required()->check(CLI::ExistingFile);
  verify->add_option("PUBLIC", arguments->keys, "Public key(s) (PEM)")->required()->check(CLI::ExistingFile);
  AddQuietFlag(*verify, common);
  return {verify, [arguments] { return Verify(arguments->manifest, arguments->keys); }};
}

}  // namespace publish
