// The publisher tool's signatures: keys, signature files, the stamp of expiry
// and serial, and the signed pair bridged from one manifest to the next.

#include <sys/stat.h>

#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tools/publish/publish_crypto.h"
#include "tools/publish/signature_file.h"
#include "tools/publish/signed_pair.h"
#include "tools/publish/signing_plan.h"
#include "tests/publish/publish_test_files.h"


namespace publish {
namespace {

TEST(SignatureTest, TwoKeysSignAndVerifyOnlyTheirOwnManifest) {
  TempDir dir;
  std::string error;
  ASSERT_TRUE(GenerateKeyPair(dir / "one.pem", dir / "one.pub", error)) << error;
  ASSERT_TRUE(GenerateKeyPair(dir / "two.pem", dir / "two.pub", error)) << error;
  struct stat st {};
  ASSERT_EQ(::stat((dir / "one.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(GenerateKeyPair(dir / "one.pem", dir / "three.pub", error));
  EXPECT_NE(ReadFile(dir / "one.pem").find("PRIVATE KEY"), std::string::npos);

  const Pkey one = LoadPrivateKey(dir / "one.pem", error);
  const Pkey two = LoadPrivateKey(dir / "two.pem", error);
  const Pkey onePublic = LoadPublicKey(dir / "one.pub", error);
  const Pkey twoPublic = LoadPublicKey(dir / "two.pub", error);
  ASSERT_TRUE(one && two && onePublic && twoPublic) << error;
  EXPECT_FALSE(LoadPublicKey(dir / "one.pem", error));
  EXPECT_EQ(KeyId(one.get()), KeyId(onePublic.get()));
  EXPECT_NE(KeyId(one.get()), KeyId(two.get()));
  EXPECT_EQ(KeyId(one.get()).find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(KeyId(one.get()).size(), 16u);

  const std::string manifest = kCleanManifest;
  std::vector<SignatureEntry> entries;
  ASSERT_TRUE(ParseSignatureFile(
      FormatSignatureFile({SignManifest(one.get(), manifest), SignManifest(two.get(), manifest)}), entries,
      error))
      << error;
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].value.size(), 128u);
  // Whether a client built with keys accepts manifest under these sections.
  const auto accepts = [&](const std::vector<SignatureEntry>& sections, std::vector<EVP_PKEY*> keys,
                           const std::string& text) {
    return UpdaterAccepts(FormatSignatureFile(sections), keys, text);
  };
  EXPECT_TRUE(accepts(entries, {onePublic.get()}, manifest));
  EXPECT_TRUE(accepts(entries, {twoPublic.get()}, manifest));
  EXPECT_FALSE(accepts({entries[0]}, {twoPublic.get()}, manifest));
  int keyIndex = -1;
  EXPECT_TRUE(UpdaterAccepts(FormatSignatureFile({entries[1]}), {onePublic.get(), twoPublic.get()}, manifest,
                             &keyIndex));
  EXPECT_EQ(keyIndex, 1);

  std::string changed = manifest;
  changed[changed.size() / 2] ^= 1;
  EXPECT_FALSE(accepts(entries, {onePublic.get(), twoPublic.get()}, changed));
  // Each byte of r and of s counts.
  for (std::size_t digit : {0u, 64u, 127u}) {
    std::vector<SignatureEntry> flipped = entries;
    flipped[0].value[digit] = flipped[0].value[digit] == '0' ? '1' : '0';
    EXPECT_FALSE(accepts({flipped[0]}, {onePublic.get()}, manifest)) << digit;
  }
  // A section naming another key is not tried with this one.
  std::vector<SignatureEntry> otherId = {entries[0]};
  otherId[0].keyId = KeyId(two.get());
  EXPECT_FALSE(accepts(otherId, {onePublic.get(), twoPublic.get()}, manifest));
}

TEST(SignatureTest, MalformedSignatureFilesAreRefused) {
  const std::string section =
      "[Signature0]\r\nAlgorithm=ECDSA-P256-SHA256\r\nKeyId=0011223344556677\r\nValue=" +
      std::string(128, 'a') + "\r\n";
  struct {
    const char* name;
    std::string text;
    bool parses;
  } cases[] = {
      {"one section", section, true},
      {"section 3 only", Replaced(section, "Signature0", "Signature3"), true},
      {"no section", "[Other]\r\nKeyId=1\r\n", false},
      {"a section without Value", Replaced(section, "Value=", "Valeur="), false},
      {"5 KiB", section + "; " + std::string(5 * 1024, 'x') + "\r\n", false},
  };
  for (const auto& c : cases) {
    std::vector<SignatureEntry> entries;
    std::string error;
    EXPECT_EQ(ParseSignatureFile(c.text, entries, error), c.parses) << c.name << ": " << error;
  }
}

TEST(SigningPlanTest, StampSetsExpiryAndTheNextSerialKeepingEveryOtherLine) {
  // (manifest, --serial, serial written; empty: refused, nothing stamped)
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"[Root]\r\nVersionCount=2\r\n; note\r\n[200]\r\nFileCount=0\r\n", "", "1"},
      {"[Root]\r\nSerial=41\r\nVersionCount=2\r\n", "", "42"},
      {"[Root]\r\nSerial=junk\r\n", "", ""},
      {"[Root]\r\nSerial=junk\r\n", "77", "77"},
      {"[Root]\r\nVersionCount=2\r\n", "500", "500"},
      {"[Root]\r\nSerial=41\r\n", "41", ""},
      {"[Root]\r\nSerial=41\r\n", "90", "90"},
      {"[Root]\r\nVersionCount=2\r\n", "0", ""},
      {"[Root]\r\nSerial=9999999999999999999\r\n", "", ""},
  };
  for (const auto& [manifest, first, serial] : cases) {
    std::string error;
    const auto stamped = StampManifest(manifest, 1803859200, 86400, first, error);
    ASSERT_EQ(stamped.has_value(), !serial.empty()) << manifest << first << error;
    if (!stamped) continue;
    EXPECT_EQ(ReadManifestStamp(*stamped).expires, "2027-03-02T00:00:00Z") << manifest;
    EXPECT_EQ(ReadManifestStamp(*stamped).serial, serial) << manifest;
    for (const char* kept : {"; note\r\n", "[200]\r\nFileCount=0\r\n", "VersionCount=2\r\n"}) {
      EXPECT_EQ(stamped->find(kept) == std::string::npos, manifest.find(kept) == std::string::npos) << kept;
    }
  }
  // (--expires, seconds when it parses, refused without --force)
  const std::tuple<const char*, int64_t, bool> durations[] = {
      {"90d", 90 * 86400, false}, {"36h", 36 * 3600, false},   {"2w", 14 * 86400, false},
      {"1d", 86400, false},       {"24h", 86400, false},       {"23h", 23 * 3600, true},
      {"730d", 730 * 86400, false}, {"731d", 731 * 86400, true}, {"400000w", 400000 * 7 * 86400LL, true},
      {"30", 0, true},            {"45s", 0, true},            {"6m", 0, true},
      {"0d", 0, true},            {"d", 0, true},              {"-1d", 0, true},
      {"1y", 0, true},
  };
  for (const auto& [text, seconds, needsForce] : durations) {
    int64_t parsed = 0;
    EXPECT_EQ(ParseDuration(text, parsed), seconds != 0) << text;
    if (seconds != 0) EXPECT_EQ(parsed, seconds) << text;
    EXPECT_EQ(ExpiresProblem(text, false).empty(), !needsForce) << text;
    EXPECT_EQ(ExpiresProblem(text, true).empty(), seconds != 0) << text;
  }
}

TEST(SignedPairTest, TheBridgeHoldsOldAndNewSignaturesOfEveryKeyThatFits) {
  TempDir dir;
  std::string error;
  std::vector<Pkey> keys, publics;
  for (int i = 0; i < 3; ++i) {
    const std::string name = dir / ("k" + std::to_string(i));
    ASSERT_TRUE(GenerateKeyPair(name + ".pem", name + ".pub", error)) << error;
    keys.push_back(LoadPrivateKey(name + ".pem", error));
    publics.push_back(LoadPublicKey(name + ".pub", error));
  }
  const std::string before = "[Root]\r\nSerial=1\r\n", after = "[Root]\r\nSerial=2\r\n";
  auto sig = [&](const std::string& manifest, std::size_t count) {
    std::vector<SignatureEntry> entries;
    for (std::size_t i = 0; i < count; ++i) entries.push_back(SignManifest(keys[i].get(), manifest));
    return FormatSignatureFile(entries);
  };
  // (keys signing, keys whose old signature does not fit)
  for (const auto& [count, left] : {std::pair<std::size_t, std::size_t>{1, 0}, {2, 0}, {3, 2}}) {
    std::vector<std::string> leftIds;
    const std::string bridge = BridgeSignature(sig(before, count), sig(after, count), leftIds);
    EXPECT_EQ(leftIds.size(), left) << count;
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_TRUE(UpdaterAccepts(bridge, {publics[i].get()}, after)) << count << " key " << i;
      EXPECT_EQ(UpdaterAccepts(bridge, {publics[i].get()}, before), i + left < count) << count << " key " << i;
    }
  }
}

TEST(SignedPairTest, StaleTemporariesOfThisFileAloneAreRemoved) {
  TempDir dir;
  for (const char* name : {"M.cfg.tmp-a1B2c3", "M.cfg.sig.tmp-x9Y8z7", "M.cfg.tmp-toolong1", "N.cfg.tmp-a1B2c3",
                           "M.cfg"}) {
    WriteFile(dir / name, "x");
  }
  EXPECT_EQ(RemoveStaleTemporaries(dir / "M.cfg"), std::vector<std::string>{dir / "M.cfg.tmp-a1B2c3"});
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir / "")) left.insert(entry.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"M.cfg.sig.tmp-x9Y8z7", "M.cfg.tmp-toolong1", "N.cfg.tmp-a1B2c3", "M.cfg"}));
}

}  // namespace
}  // namespace publish
