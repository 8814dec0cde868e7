#include "updater/transfer/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/pseudo_random_bytes.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string Md5Text(const std::string& data) {
  Md5Context context;
  context.Update(data.data(), data.size());
  context.Final();
  unsigned char digest[16];
  context.GetDigest(digest);
  return FormatDigest(digest);
}

std::string TempPath(const std::string& stem) {
  const char* dir = std::getenv("TMPDIR");
#ifdef _WIN32
  if (!dir) dir = std::getenv("TEMP");
  const std::string sep = "\\";
#else
  const std::string sep = "/";
#endif
  std::string base = dir ? dir : "/tmp";
  return base + sep + "torvane_md5_" + std::to_string(getpid()) + "_" + stem;
}

bool WriteFile(const std::string& path, const std::string& data) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool ok = std::fwrite(data.data(), 1, data.size(), file) == data.size();
  return std::fclose(file) == 0 && ok;
}

TEST(Md5, GivesTheDigestsOfTheRfcTestSuite) {
  struct Case { const char* input; const char* digest; };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) EXPECT_EQ(Md5Text(c.input), c.digest) << '"' << c.input << '"';
  EXPECT_EQ(Md5Text(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, PadsEveryLengthAroundTheBlockEdge) {
  // 55 bytes leave room for the length in the same block; 56 to 63 need one
  // more block; 64 and 65 start a new one.
  struct Case { std::size_t length; const char* repeatedA; const char* pseudoRandom; };
  const Case cases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65", "bb09419b848287c91a532eb1efc8628f"},
      {56, "3b0c8ac703f828b04c6c197006d17218", "8b3b8f957492230196b773f3dc29e52a"},
      {63, "b06521f39153d618550606be297466d5", "0ffbbcff213794129c9133ec2c051894"},
      {64, "014842d480b571495a4a0363793f7367", "9b7de4df9a621b460e55a1bd91d5d128"},
      {65, "c743a45e0d2e6a95cb859adae0248435", "df6bf98a0af8fd63ee9bc0e35a6928af"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Md5Text(std::string(c.length, 'a')), c.repeatedA) << c.length;
    EXPECT_EQ(Md5Text(PseudoRandomBytes(c.length)), c.pseudoRandom) << c.length;
  }
}

TEST(Md5, PiecesOfAnySizeGiveTheSameDigest) {
  const std::string data = PseudoRandomBytes(5000);
  const std::string whole = Md5Text(data);
  for (std::size_t piece : {1u, 7u, 63u, 64u, 65u, 1000u, 4999u}) {
    Md5Context context;
    for (std::size_t at = 0; at < data.size(); at += piece) {
      context.Update(data.data() + at, std::min(piece, data.size() - at));
      context.Update(data.data(), 0);  // empty pieces change nothing
    }
    context.Final();
    unsigned char digest[16];
    context.GetDigest(digest);
    EXPECT_EQ(FormatDigest(digest), whole) << "pieces of " << piece;
  }
}

TEST(Md5, FormatsLowercaseDigitsByteZeroFirst) {
  unsigned char digest[16];
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<unsigned char>(i * 17);
  EXPECT_EQ(FormatDigest(digest), "00112233445566778899aabbccddeeff");
}

TEST(FileMd5Text, HashesFilesAcrossReadPieceBoundaries) {
  // The reader works in 256 KiB pieces: sizes around one and several pieces,
  // and around 1 MiB.
  struct Case { std::size_t size; const char* digest; };
  const Case cases[] = {
      {0, "d41d8cd98f00b204e9800998ecf8427e"},
      {1, "b96a24be7c40dc85f976c0f866b2cd3b"},
      {127, "d5a0fa330d214f9a2d035beef83c7579"},
      {128, "645d9d6f199e61ed0fe202746f153699"},
      {129, "fd880a7873cb00a6a6d22a3bff56505b"},
      {(256u << 10) - 1, "f0c6f4a35a4eb532f8230c8e83b1340f"},
      {256u << 10, "c658206c26540711a724cdb5b3e7f900"},
      {(256u << 10) + 1, "68dda4bb2168a157c44c5dc030502044"},
      {2 * (256u << 10) + 64, "47384ce13843b5bae6c77733192084b5"},
      {(1u << 20) - 1, "d499070d0fee0130b5984ca1887d4075"},
      {1u << 20, "5eac8d0ba620099beaec1fec522a6be1"},
      {(1u << 20) + 1, "8e76e245f941df0f3999704c6207a25b"},
      {(1u << 20) + 64, "f3a149b54643ed762a73125796597b60"},
      {3 * (1u << 20) + 17, "7934c6891a24db4966537637e7947f1b"},
  };
  const std::string data = PseudoRandomBytes(3 * (1u << 20) + 17);
  const std::string path = TempPath("pieces.bin");
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteFile(path, data.substr(0, c.size)));
    EXPECT_EQ(FileMd5Text(path), c.digest) << c.size;
  }
  std::remove(path.c_str());
}

// A file of size bytes whose last bytes are tail; the rest is a hole, so the
// file takes no room on disk.
bool WriteSparseFile(const std::string& path, int64_t size, const std::string& tail) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
#ifdef _WIN32
  bool ok = _fseeki64(file, size - static_cast<int64_t>(tail.size()), SEEK_SET) == 0;
#else
  bool ok = fseeko(file, static_cast<off_t>(size - static_cast<int64_t>(tail.size())), SEEK_SET) == 0;
#endif
  ok = ok && std::fwrite(tail.data(), 1, tail.size(), file) == tail.size();
  return std::fclose(file) == 0 && ok;
}

TEST(FileMd5Text, HashesFilesPastTwoGibibytes) {
  // Past 2^31 bytes a signed 32-bit size goes negative; the bit length needs
  // its high word.
  const std::string path = TempPath("big.bin");
  ASSERT_TRUE(WriteSparseFile(path, (int64_t{1} << 31) + 100, std::string(100, 'z')));
  EXPECT_EQ(FileMd5Text(path), "bc75435776df7586a4310ad31e918584");
  std::remove(path.c_str());
}

TEST(FileMd5Text, UnreadableFileGivesTheEmptyText) {
  EXPECT_EQ(FileMd5Text(TempPath("missing/none.bin")), "");
  EXPECT_EQ(FileMd5Text(""), "");
#ifndef _WIN32
  // A folder opens but cannot be read.
  const std::string folder = TempPath("folder");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  EXPECT_EQ(FileMd5Text(folder), "");
  rmdir(folder.c_str());
#endif
}

TEST(HashMatches, AcceptsTheSameDigitsInEitherCaseOnly) {
  const std::string digest = "9e107d9d372bb6826bd81d3542a419d6";
  struct Case { const char* expected; bool matches; };
  const Case cases[] = {
      {"9e107d9d372bb6826bd81d3542a419d6", true},
      {"9E107D9D372BB6826BD81D3542A419D6", true},
      {"9e107D9d372Bb6826bD81d3542A419d6", true},
      {"md5:9e107d9d372bb6826bd81d3542a419d6", false},
      {"0x9e107d9d372bb6826bd81d3542a419d6", false},
      {" 9e107d9d372bb6826bd81d3542a419d6", false},
      {"9e107d9d372bb6826bd81d3542a419d6 ", false},
      {"9e107d9d372bb6826bd81d3542a419d", false},
      {"9e107d9d372bb6826bd81d3542a419d60", false},
      {"9e107d9d372bb6826bd81d3542a419d7", false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HashMatches(digest, c.expected), c.matches) << '"' << c.expected << '"';
  }
}

TEST(HashMatches, ComparesDoubleByteCharactersWhole) {
  // The trail bytes 'a' and 'A' belong to two different characters.
  EXPECT_FALSE(HashMatches("\x81\x61" "0", "\x81\x41" "0"));
  EXPECT_TRUE(HashMatches("\x81\x61" "b", "\x81\x61" "B"));
}

TEST(HashMatches, EmptyDigestOfAnUnreadableFileMatchesNothing) {
  const std::string digest = FileMd5Text(TempPath("missing.bin"));
  ASSERT_EQ(digest, "");
  EXPECT_FALSE(HashMatches(digest, "d41d8cd98f00b204e9800998ecf8427e"));
  EXPECT_FALSE(HashMatches(digest, ""));
}

#ifndef _WIN32
// md5sum of coreutils as the reference, on files of many lengths around the
// block edges and up to a few hundred kilobytes.
TEST(FileMd5Text, AgreesWithMd5sum) {
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n <= 200; ++n) sizes.push_back(n);
  for (std::size_t block = 256; block <= 400 * 1024; block = block * 3 + 64) {
    for (std::size_t n : {block - 65, block - 64, block - 9, block - 8, block - 1, block, block + 1,
                          block + 55, block + 56}) {
      sizes.push_back(n);
    }
  }
  const std::string data = PseudoRandomBytes(sizes.back() + 1024);
  const std::string folder = TempPath("diff");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  std::string command = "cd '" + folder + "' && timeout 60 md5sum";
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    // Different offsets so the files are not prefixes of each other.
    const std::string name = std::to_string(i);
    ASSERT_TRUE(WriteFile(folder + "/" + name, data.substr(i % 1024, sizes[i])));
    command += " " + name;
  }
  std::FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[512];
  std::size_t checked = 0;
  while (std::fgets(line, sizeof line, pipe)) {
    const std::string text(line);
    const std::string reference = text.substr(0, 32);
    const std::string name = text.substr(34, text.find_last_not_of("\r\n") - 33);
    EXPECT_EQ(FileMd5Text(folder + "/" + name), reference)
        << "size " << sizes[std::stoul(name)];
    std::remove((folder + "/" + name).c_str());
    ++checked;
  }
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(checked, sizes.size());
  rmdir(folder.c_str());
}
#endif

}  // namespace
