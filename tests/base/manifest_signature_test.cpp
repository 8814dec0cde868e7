#include "updater/base/manifest_signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/base/manifest_signature_cases.h"
#include "updater/base/hex_text.h"
#include "updater/base/ini_text_reader.h"
#include "updater/base/manifest.h"

namespace {

using namespace signature_cases;

TEST(ManifestSignature, AcceptsOnlyAQualifyingSectionThatVerifies) {
  // Stands in for ECDSA: a value verifies when it is the key's own signature
  // of the unchanged manifest.
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::string manifest = ManifestOf(c);
    const std::vector<ManifestKey> keys = KeysOf(c);
    const bool accepted = manifest_signature::AnySectionVerifies(
        c.text, keys, [&](const ManifestKey& key, const manifest_signature::SignatureValue& value) {
          for (const TestKey* known : {&kKeyA, &kKeyB}) {
            if (key.id != ToManifestKey(*known).id) continue;
            return manifest == kManifest && EncodeHex(value.data(), value.size()) == known->value;
          }
          ADD_FAILURE() << "asked about a key that was not built in";
          return false;
        });
    EXPECT_EQ(accepted, c.accepted);
  }
}

TEST(HexText, DecodesExactlyTheGivenNumberOfBytes) {
  struct Case {
    const char* text;
    HexLetters letters;
    std::size_t size;
    bool ok;
    const char* bytes;
  };
  const Case cases[] = {
      {"00ff7a", HexLetters::LowerOnly, 3, true, "\x00\xff\x7a"},
      {"00FF7A", HexLetters::AnyCase, 3, true, "\x00\xff\x7a"},
      {"00FF7A", HexLetters::LowerOnly, 3, false, ""},
      {"00ff7", HexLetters::AnyCase, 3, false, ""},
      {"00ff7a0", HexLetters::AnyCase, 3, false, ""},
      {"00ff7a00", HexLetters::AnyCase, 3, false, ""},
      {"0xff7a", HexLetters::AnyCase, 3, false, ""},
      {" 0ff7a", HexLetters::AnyCase, 3, false, ""},
      {"00fg7a", HexLetters::AnyCase, 3, false, ""},
      {"00f:7a", HexLetters::AnyCase, 3, false, ""},  // ':' follows '9'
      {"00f@7a", HexLetters::AnyCase, 3, false, ""},  // '@' precedes 'A'
      {"", HexLetters::AnyCase, 0, true, ""},
  };
  for (const Case& c : cases) {
    unsigned char out[4] = {};
    EXPECT_EQ(DecodeHex(c.text, c.letters, out, c.size), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out), c.size), std::string(c.bytes, c.size)) << c.text;
    }
  }
  const unsigned char bytes[] = {0x00, 0x9a, 0xff};
  EXPECT_EQ(EncodeHex(bytes, 3), "009aff");
}

// Release sections of a three-release manifest, installed at the first: both
// later releases are merged.
std::string Releases(const std::string& second, const std::string& third) {
  return "[Root]\nVersionCount=3\nCurrentVersionNum=c\nCurrentVersionTime=300\nver0=100\nver1=200\nver2=300\n"
         "[200]\n" +
         second + "[300]\n" + third;
}

TEST(ManifestReaders, MergeFileSha256LikeTheMd5Digest) {
  const std::string h1(64, '1'), h2(64, '2'), h3(64, '3');
  struct Case {
    const char* name;
    std::string ini;
    std::vector<std::pair<std::string, std::string>> sha256;
  };
  const Case cases[] = {
      {"newest release with a digest decides",
       Releases("FileCount=1\nFilePath0=\\a\nFileUrl0=u\nFileSha2560=" + h1 + "\n",
                "FileCount=1\nFilePath0=\\a\nFileUrl0=v\nFileSha2560=" + h2 + "\n"),
       {{"\\a", h2}}},
      {"a later entry without one keeps the earlier",
       Releases("FileCount=1\nFilePath0=\\a\nFileUrl0=u\nFileSha2560=" + h1 + "\n",
                "FileCount=1\nFilePath0=\\a\nFileUrl0=v\nFileSha2560=\n"),
       {{"\\a", h1}}},
      {"indexed like FileHashID, beside it",
       Releases("FileCount=2\nFilePath0=\\a\nFileUrl0=u\nFilePath1=\\b\nFileUrl1=u\nFileHashID1=d\n"
                "FileSha2561=" +
                    h3 + "\n",
                "FileCount=0\n"),
       {{"\\b", h3}}},
      {"file 12 is FileSha25612",
       Releases(
           "FileCount=13\n" +
               [] {
                 std::string files;
                 for (int i = 0; i < 13; ++i) {
                   files += "FilePath" + std::to_string(i) + "=\\f" + std::to_string(i) + "\nFileUrl" +
                            std::to_string(i) + "=u\n";
                 }
                 return files;
               }() +
               "FileSha25612=" + h1 + "\nFileSha2561=" + h2 + "\n",
           "FileCount=0\n"),
       {{"\\f1", h2}, {"\\f12", h1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateJobState state;
    state.installedVersion = 100;
    const IniTextReader reader(c.ini);
    const manifest::ReleaseIndex index = manifest::ReadVersionIndex(reader, state.installedVersion, state);
    const bool multiStep = index == manifest::ReleaseIndex::kSeveralSteps, selected = manifest::IsSelected(index);
    ASSERT_TRUE(index != manifest::ReleaseIndex::kUnreadable);
    ASSERT_TRUE(multiStep && selected);
    ASSERT_TRUE(manifest::ReadVersionRange(reader, state));
    std::vector<std::pair<std::string, std::string>> sha256(state.FileSha256Map.begin(),
                                                            state.FileSha256Map.end());
    std::sort(sha256.begin(), sha256.end());
    EXPECT_EQ(sha256, c.sha256);
  }
}

TEST(ManifestReaders, EveryFileNeedsAWellFormedSha256) {
  const std::string good(64, 'a'), capitals(64, 'A');
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, std::string>> digests;
    bool ok;
  };
  const Case cases[] = {
      {"all given", {{"\\a", good}, {"\\b", capitals}}, true},
      {"one missing", {{"\\a", good}}, false},
      {"one short", {{"\\a", good}, {"\\b", good.substr(1)}}, false},
      {"one not hex", {{"\\a", good}, {"\\b", "z" + good.substr(1)}}, false},
      {"given for another file only", {{"\\a", good}, {"\\c", good}}, false},
  };
  for (const Case& c : cases) {
    UpdateJobState state;
    state.FileUrlMap.Set("\\a", "u");
    state.FileUrlMap.Set("\\b", "u");
    for (const auto& [path, digest] : c.digests) state.FileSha256Map.Set(path, digest);
    EXPECT_EQ(manifest::EveryFileHasSha256(state), c.ok) << c.name;
  }
}

}  // namespace
