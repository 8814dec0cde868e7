#pragma once
// Replacing the served manifest and its signature file so that the pair on
// disk verifies at every moment, for a client that fetches the manifest and
// then the .sig at any time during the change. The updater takes any section
// that verifies, so the change goes in three renames:
//   1. the .sig holds the new signatures and the old ones (a bridge);
//   2. the new manifest replaces the old one;
//   3. the .sig holds the new signatures only.
// A failure at 1 or 2 puts the old .sig back; one at 3 leaves the bridge,
// which verifies with the new manifest, and says so.

#include <optional>
#include <string>
#include <vector>

namespace publish {

struct PairChange {
  std::string manifestPath;
  std::string manifest;                     // the new manifest's bytes
  std::optional<std::string> oldSignature;  // the .sig as it was; none: there was none
  std::optional<std::string> signature;     // the new .sig; none: publish unsigned
};

// The bridge's text: every new section, then the old sections of the keys
// that sign again, then the other old ones, as many as a signature file
// holds. left names the keys whose old signature did not fit.
std::string BridgeSignature(const std::string& oldSignature, const std::string& newSignature,
                            std::vector<std::string>& left);

// Performs the change. False with error set; error then says what the served
// folder holds, and manifestReplaced whether the new manifest is live (its
// files must then stay).
bool ReplaceSignedPair(const PairChange& change, std::string& error, bool* manifestReplaced = nullptr);

// Removes the temporary files a killed run of this tool left beside path
// (path.tmp-XXXXXX); the names of those removed.
std::vector<std::string> RemoveStaleTemporaries(const std::string& path);

}  // namespace publish
