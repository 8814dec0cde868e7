// SHA-256 through the system's CNG, under Wine.

#include "updater/transfer/cng.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/support/pseudo_random_bytes.h"
#include "tests/support/win_test_files.h"
#include "updater/base/hex_text.h"

namespace {

using namespace win_test;

struct LengthCase {
  std::size_t length;
  const char* sha256sum;
};
// Around the 64-byte block and its padding (55/56), and around the 256 KiB
// pieces files are read in.
const LengthCase kLengths[] = {
    {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {1, "fb95aa98d6e6c5827a57ec17b978d647fcc01d98c357b7e64989af57339e9ac3"},
    {55, "71c8932528a322d44286f7aef656a86d4f8eca7e363ff070ff6c8ebf01c23376"},
    {56, "240d21dde936d864014a3d633ec2b5fc11c3a05ab2b9a7ed762a9ce41b8153f2"},
    {63, "57ec17463000ce178ab0e109e0b804bee3fd5c06b8602aa3becf9e0290eb6452"},
    {64, "f884997e48d50999298babb11bcd1b697ee18066da5a6df2b5fa7d9dcb3ff205"},
    {65, "18a6fbe59a0ad33c45efff233c9973f96d3c6cc97839bf6c30b437b6e1f51968"},
    {119, "3600f855c81283c0efdbb7be068c00fdca5c9104ce19d982464d51eb0ab14d2b"},
    {120, "c88f374fa008e549134852fe3881564e16cdbf776e12667115371d50f0c3fed5"},
    {127, "ecaa3a741cad06d59e8ac632ef769085c62e96458293761e8d4ee7cda41af17e"},
    {128, "451cef3154f4724d8a64edcf7a90e8ce08169badeccd9b724887595486e96721"},
    {129, "11f8eb3a1a52e9e7570c74172e5f5c98406be0f8e5df1dca9c535e1bfe5d5692"},
    {1000, "a7f1195b5dd581399ef111007e6b3c49a3542cefeb4fdd1d5338eb6dff8d7e9e"},
    {262143, "3b3cea923acc48d99e02e0a81db776441584e03f01e236fd13e06b9ffa03d008"},
    {262144, "bc991e593a71c307e2a9c605fac8155f121c4e315a91a70faee31da76bbe35a1"},
    {262145, "2257e38a1e64e691d374b538f07c62f12d183af7c60c48e5b239cb4b2878fff2"},
    {786433, "3156520828eb75bf62b8c8317cd5588952e1c8bf7b1092011f7808a78b2a30cf"},
};

TEST(Cng, Sha256MatchesSha256sumAroundBlockAndPieceEdges) {
  TempFiles files("torvane_cng");
  const std::string data = PseudoRandomBytes(kLengths[sizeof kLengths / sizeof kLengths[0] - 1].length);
  CngLibrary cng;
  ASSERT_TRUE(cng.Load());
  for (const LengthCase& c : kLengths) {
    Sha256Digest digest{};
    ASSERT_TRUE(cng.Hash(data.data(), c.length, digest)) << c.length;
    EXPECT_EQ(EncodeHex(digest.data(), digest.size()), c.sha256sum) << "in memory, " << c.length;
    const std::string path = files.Write("len" + std::to_string(c.length), data.substr(0, c.length));
    EXPECT_EQ(FileSha256Text(path), c.sha256sum) << "file, " << c.length;
  }
}

TEST(Cng, FileThatCannotBeReadHasNoDigest) {
  TempFiles files("torvane_cng");
  EXPECT_EQ(FileSha256Text(files.Path("missing")), "");
  EXPECT_EQ(FileSha256Text(files.Path("no\\such\\folder")), "");
}

}  // namespace
