#include <iostream>

#include "tools/publish/command_common.h"
#include "tools/publish/publish_files.h"
#include "tools/publish/signature_file.h"

namespace publish {

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

}  // namespace publish
