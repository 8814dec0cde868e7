#include "updater/core/partial_cache_rules.h"

#include <gtest/gtest.h>

using namespace partial_cache;

TEST(PartialCacheHead, ReadsBackWhatItWrites) {
  const Head head{20971520, "\"5f3a-1c\""};
  const std::optional<Head> read = ParseHead(FormatHead(head));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->total, head.total);
  EXPECT_EQ(read->validator, head.validator);
}

TEST(PartialCacheHead, RefusesAnythingButAWholeSoundRecord) {
  const std::string whole = FormatHead({1000, "\"v\""});
  // Every cut of a record, as a killed run may leave it, is refused.
  for (std::size_t n = 0; n < whole.size(); ++n) EXPECT_FALSE(ParseHead(whole.substr(0, n))) << n;
  for (const char* text :
       {"TorvanePartial 1\n0\n\"v\"\n", "TorvanePartial 1\n-5\n\"v\"\n", "TorvanePartial 1\n100\n\n",
        "TorvanePartial 2\n100\n\"v\"\n", "TorvanePartial 1\n100\n\"v\"\nmore",
        "TorvanePartial 1\n1e3\n\"v\"\n", "TorvanePartial 1\n9999999999999999999\n\"v\"\n"}) {
    EXPECT_FALSE(ParseHead(text)) << text;
  }
}

TEST(PartialCacheNames, KeysNameOnlyTheCachesOwnFiles) {
  const std::string key = EntryKey("http://h/a.dll", "0123", "");
  EXPECT_EQ(key.size(), 32u);
  EXPECT_NE(key, EntryKey("http://h/a.dll", "4567", ""));  // another expected file: another entry
  EXPECT_NE(key, EntryKey("http://h/b.dll", "0123", ""));
  EXPECT_EQ(KeyOfName(key + kPartSuffix), key);
  EXPECT_EQ(KeyOfName(key + kHeadSuffix), key);
  for (const std::string& name : {key, key + ".dll", "x" + key.substr(1) + "X.part", std::string("a.part"),
                                  key.substr(0, 31) + "G.part"}) {
    EXPECT_FALSE(KeyOfName(name)) << name;
  }
}
