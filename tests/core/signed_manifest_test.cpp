// The check of a manifest against its signature file, through CNG under Wine,
// held to the same table as the native selection test.

#include "updater/core/manifest_fetch.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/base/manifest_signature_cases.h"
#include "tests/support/win_test_files.h"

namespace {

using namespace win_test;

TEST(SignedManifest, CheckFollowsTheSignatureTable) {
  TempFiles files("torvane_signed");
  using namespace signature_cases;
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::string manifest = files.Write("manifest.cfg", ManifestOf(c));
    const std::string signature = files.Write("manifest.cfg.sig", c.text);
    EXPECT_EQ(SignedManifestVerifies(manifest, signature, KeysOf(c)), c.accepted);
  }
}

TEST(SignedManifest, CheckFailsWithoutItsFiles) {
  TempFiles files("torvane_signed");
  using namespace signature_cases;
  const std::vector<ManifestKey> keys{ToManifestKey(kKeyA)};
  const std::string manifest = files.Write("m.cfg", kManifest);
  const std::string signature = files.Write("m.cfg.sig", Signed(0, kKeyA));
  ASSERT_TRUE(SignedManifestVerifies(manifest, signature, keys));
  EXPECT_FALSE(SignedManifestVerifies(manifest, files.Path("missing.sig"), keys));
  EXPECT_FALSE(SignedManifestVerifies(files.Path("missing.cfg"), signature, keys));
  EXPECT_EQ(SignaturePathFor("C:\\x\\HistoryVersionList.cfg"), "C:\\x\\HistoryVersionList.cfg.sig");
}

}  // namespace
