#include <iostream>

#include "tools/publish/command_common.h"
#include "tools/publish/publish_files.h"
#include "tools/publish/signature_file.h"
#include "tools/publish/signed_pair.h"

namespace publish {

int Sign(const std::string& manifestPath, const SigningOptions& signing, bool add, bool renew) {
  std::vector<SigningKey> keys;
  if (!LoadKeys(signing.keyPaths, signing.pass, keys)) return kExitFailed;
  if (keys.empty()) {
    Fail("sign: give a private key");
    return kExitUsage;
  }
  PublishLock lock;
  if (!LockForWriting(manifestPath, lock)) return kExitFailed;
  auto manifest = ReadWholeFile(manifestPath);
  if (!manifest) {
    Fail(manifestPath + ": cannot read");
    return kExitFailed;
  }
  const std::string sigPath = SignaturePath(manifestPath);
  const auto existing = ExistingSignature(manifestPath);
  LintResult result = LintManifest(*manifest, true);
  if (add) LintExpiry(*manifest, Now(), result);
  if (!ShowErrors(manifestPath, result)) {
    Fail(manifestPath + ": a client built with keys would refuse it; nothing signed" +
         (add ? " (--add keeps the manifest as it is: sign it without --add, with every key)" : ""));
    return kExitFailed;
  }
  std::string error;
  if (add) {
    // The manifest stays as it is, so the other keys' signatures still hold.
    std::vector<SignatureEntry> entries;
    if (existing && !ParseSignatureFile(*existing, entries, error)) {
      Fail(sigPath + ": " + error + "; not adding to it");
      return kExitFailed;
    }
    std::vector<SignatureEntry> made;
    if (!SignWithEach(keys, *manifest, made, error)) {
      Fail(error);
      return kExitFailed;
    }
    std::vector<SignatureEntry> kept;
    for (const SignatureEntry& old : entries) {
      bool resigned = false;
      for (const SigningKey& key : keys) resigned = resigned || key.id == old.keyId;
      if (!resigned) kept.push_back(old);
    }
    const std::size_t others = kept.size();
    kept.insert(kept.end(), made.begin(), made.end());
    if (kept.size() > static_cast<std::size_t>(kMaxSignatureSections)) {
      Fail(sigPath + " would hold " + std::to_string(kept.size()) +
           " signatures; the updater reads at most " + std::to_string(kMaxSignatureSections));
      return kExitFailed;
    }
    if (!WriteFileAtomically(sigPath, FormatSignatureFile(kept), error)) {
      Fail(error);
      return kExitFailed;
    }
    std::cout << "wrote " << sigPath << ": signed by key(s)";
    for (const SigningKey& key : keys) std::cout << " " << key.id;
    if (others > 0) std::cout << " (" << others << " other signature(s) kept)";
    std::cout << "\n";
    return kExitOk;
  }
  std::vector<std::string> removed;
  if (!CheckKeyChange(existing ? &*existing : nullptr, keys, signing.dropKeys, removed, error)) {
    Fail(sigPath + ": " + error + "; nothing written");
    return kExitFailed;
  }
  if (renew) {
    std::vector<EVP_PKEY*> pointers;
    for (const SigningKey& key : keys) pointers.push_back(key.key.get());
    if (!existing || !UpdaterAccepts(*existing, pointers, *manifest)) {
      Fail(manifestPath + " is not the manifest " + sigPath +
           " signed with these keys: --renew only moves the expiry of a signed, unchanged manifest; "
           "check the changes and sign without --renew");
      return kExitFailed;
    }
  }
  const auto signature = SignStamped(manifestPath, *manifest, keys, signing);
  if (!signature) return kExitFailed;
  if (!ReplaceSignedPair(PairChange{manifestPath, *manifest, existing, signature}, error)) {
    Fail(error);
    return kExitFailed;
  }
  const ManifestStamp stamp = ReadManifestStamp(*manifest);
  std::cout << "wrote " << manifestPath << " (Expires=" << stamp.expires << ", Serial=" << stamp.serial
            << ") and " << sigPath << ": signed by key(s)";
  for (const SigningKey& key : keys) std::cout << " " << key.id;
  std::cout << "\n";
  SayRemoved(sigPath, removed);
  return kExitOk;
}

}  // namespace publish
