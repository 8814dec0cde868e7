#include "tools/publish/signed_pair.h"

#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "tools/publish/publish_files.h"
#include "tools/publish/signature_file.h"

namespace publish {

std::string BridgeSignature(const std::string& oldSignature, const std::string& newSignature,
                            std::vector<std::string>& left) {
  std::vector<SignatureEntry> olds, news, bridge;
  std::string ignored;
  if (!ParseSignatureFile(newSignature, news, ignored)) return newSignature;
  if (!ParseSignatureFile(oldSignature, olds, ignored)) olds.clear();  // nothing verifies today anyway
  const auto add = [&](const SignatureEntry& entry) {
    if (bridge.size() < static_cast<std::size_t>(kMaxSignatureSections)) bridge.push_back(entry);
    else left.push_back(entry.keyId);
  };
  // The new sections first (they stay needed), then the old ones of the keys
  // that sign again, then those of keys being dropped.
  for (const SignatureEntry& entry : news) add(entry);
  for (const bool resigned : {true, false}) {
    for (const SignatureEntry& old : olds) {
      bool again = false;
      for (const SignatureEntry& entry : news) again = again || entry.keyId == old.keyId;
      if (again == resigned) add(old);
    }
  }
  std::string text = FormatSignatureFile(bridge);
  // Four sections always fit; should they not, the new ones alone are safe.
  return text.size() <= kMaxSignatureFileBytes ? text : newSignature;
}

bool ReplaceSignedPair(const PairChange& change, std::string& error, bool* manifestReplaced) {
  const std::string sigPath = change.manifestPath + ".sig";
  bool ignored = false;
  bool& replaced = manifestReplaced ? *manifestReplaced : ignored;
  replaced = false;
  if (!change.oldSignature) {
    // No old pair verifies: the manifest first, then its .sig.
    if (!WriteFileAtomically(change.manifestPath, change.manifest, error)) return false;
    replaced = true;
    return !change.signature || WriteFileAtomically(sigPath, *change.signature, error);
  }
  if (!change.signature) {
    error = sigPath + " exists and would not verify an unsigned manifest; nothing replaced";
    return false;
  }
  std::vector<std::string> left;
  const std::string bridge = BridgeSignature(*change.oldSignature, *change.signature, left);
  for (const std::string& id : left) {
    std::cerr << "warning: " << sigPath << " cannot hold the old and new signatures of every key at once: "
              << "while the manifest is replaced, clients with key " << id << " may refuse it\n";
  }
  if (!WriteFileAtomically(sigPath, bridge, error)) return false;
  if (!WriteFileAtomically(change.manifestPath, change.manifest, error)) {
    std::string undoError;
    if (WriteFileAtomically(sigPath, *change.oldSignature, undoError)) {
      error += "; " + change.manifestPath + " and " + sigPath + " are as before";
    } else {
      error += "; " + sigPath + " still holds the old signatures beside the new ones (" + undoError +
               "), which verify with the old manifest";
    }
    return false;
  }
  replaced = true;
  if (!WriteFileAtomically(sigPath, *change.signature, error)) {
    error += "; " + change.manifestPath + " is replaced and " + sigPath +
             " holds its signatures beside the old ones, which verifies: run sign again to tidy it";
    return false;
  }
  return true;
}

std::vector<std::string> RemoveStaleTemporaries(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  const std::string prefix = target.filename().string() + ".tmp-";
  std::vector<std::string> removed;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // mkstemp's six characters after the prefix, nothing else.
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0 &&
        it->is_regular_file(ec) && ::unlink(it->path().c_str()) == 0) {
      removed.push_back(it->path().string());
    }
  }
  return removed;
}

}  // namespace publish
