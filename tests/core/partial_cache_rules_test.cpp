#include "updater/core/partial_cache_rules.h"

#include <gtest/gtest.h>

#include "updater/transfer/http_validator.h"

using namespace partial_cache;

TEST(PartialCacheHead, ReadsBackWhatItWrites) {
  const Head head{20971520, "\"5f3a-1c\"", 4194304};
  const std::optional<Head> read = ParseHead(FormatHead(head));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->total, head.total);
  EXPECT_EQ(read->validator, head.validator);
  EXPECT_EQ(read->vouched, head.vouched);
  EXPECT_EQ(FormatHead(head), "TorvanePartial 1\n20971520\n\"5f3a-1c\"\n4194304\n");
}

TEST(PartialCacheHead, RefusesAnythingButAWholeSoundRecord) {
  const std::string whole = FormatHead({1000, "\"v\"", 600});
  // Every cut of a record, as a killed run may leave it, is refused or
  // vouches for no byte (cut after its validator, it reads as an older one).
  for (std::size_t n = 0; n < whole.size(); ++n) {
    const std::optional<Head> cut = ParseHead(whole.substr(0, n));
    EXPECT_TRUE(!cut || cut->vouched == 0) << n;
  }
  for (const char* text :
       {"TorvanePartial 1\n0\n\"v\"\n", "TorvanePartial 1\n-5\n\"v\"\n", "TorvanePartial 1\n100\n\n",
        "TorvanePartial 2\n100\n\"v\"\n", "TorvanePartial 1\n100\n\"v\"\nmore",
        "TorvanePartial 1\n1e3\n\"v\"\n", "TorvanePartial 1\n9999999999999999999\n\"v\"\n",
        "TorvanePartial 1\n100\n\"v\"\n101\n",          // vouches for more than the body
        "TorvanePartial 1\n100\n\"v\"\n\n",             // an empty vouched length
        "TorvanePartial 1\n100\n\"v\"\n-1\n", "TorvanePartial 1\n100\n\"v\"\n5\n6\n"}) {
    EXPECT_FALSE(ParseHead(text)) << text;
  }
}

TEST(PartialCacheHead, OnlyVouchedBytesAreContinued) {
  struct Case {
    const char* what;
    const char* record;
    int64_t partSize;
    int64_t kept;
  };
  const Case cases[] = {
      {"an older record vouches for nothing", "TorvanePartial 1\n100\n\"v\"\n", 100, 0},
      {"the vouched bytes of a longer file", "TorvanePartial 1\n100\n\"v\"\n40\n", 100, 40},
      {"a file shorter than vouched", "TorvanePartial 1\n100\n\"v\"\n40\n", 25, 25},
      {"a whole body: all but its last byte", "TorvanePartial 1\n100\n\"v\"\n100\n", 100, 99},
      {"a file longer than the body", "TorvanePartial 1\n100\n\"v\"\n40\n", 101, 0},
      {"an empty file", "TorvanePartial 1\n100\n\"v\"\n40\n", 0, 0},
      {"a file whose size is unknown", "TorvanePartial 1\n100\n\"v\"\n40\n", -1, 0},
      {"a record that vouches for none", "TorvanePartial 1\n100\n\"v\"\n0\n", 100, 0},
  };
  for (const Case& test : cases) {
    const std::optional<Head> head = ParseHead(test.record);
    ASSERT_TRUE(head) << test.what;
    EXPECT_EQ(KeptLength(*head, test.partSize), test.kept) << test.what;
  }
}

TEST(PartialCacheHead, TheRecordIsRewrittenAfterEnoughBytesOrTime) {
  EXPECT_FALSE(VouchDue(0, 60000));  // nothing new to vouch for
  EXPECT_FALSE(VouchDue(kVouchEveryBytes - 1, kVouchEveryMs - 1));
  EXPECT_TRUE(VouchDue(kVouchEveryBytes, 0));
  EXPECT_TRUE(VouchDue(1, kVouchEveryMs));
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

TEST(PartialCachePrune, KeepsOnlyRecentEntriesTheTableCanContinue) {
  const int64_t now = 1700000000;
  const int64_t week = kMaxEntryAgeSeconds;
  const std::string a = EntryKey("http://h/a.dll", "1", ""), b = EntryKey("http://h/b.dll", "2", "");
  const std::string c = EntryKey("http://h/c.dll", "3", ""), gone = EntryKey("http://h/old.dll", "4", "");
  // Each file's age in seconds; a .head as new as its .part unless listed.
  const std::vector<FolderFile> folder = {
      {a + kPartSuffix, now - 10},         {a + kHeadSuffix, now - 10},
      {b + kPartSuffix, now - week - 1},   {b + kHeadSuffix, now - week - 1},
      {c + kPartSuffix, now - week - 5},   {c + kHeadSuffix, now - 5},  // written to lately
      {gone + kPartSuffix, now - 20},      {"notes.txt", now - 10 * week},
  };
  const std::vector<std::string> named = {a, b, c};
  struct Case {
    const char* what;
    const std::vector<std::string>* continuable;
    std::size_t keepAtMost;
    std::vector<std::string> pruned;  // keys
  };
  const Case cases[] = {
      {"table unknown: age only", nullptr, 10, {b}},
      {"table known: unnamed too", &named, 10, {b, gone}},
      {"all but the newest", nullptr, 1, {a, b, gone}},
      {"nothing kept", &named, 0, {a, b, c, gone}},
  };
  for (const Case& test : cases) {
    std::vector<std::string> expected;
    for (const FolderFile& file : folder) {
      for (const std::string& key : test.pruned)
        if (file.name.compare(0, key.size(), key) == 0) expected.push_back(file.name);
    }
    EXPECT_EQ(NamesToPrune(folder, now, test.continuable, test.keepAtMost), expected) << test.what;
  }
}

TEST(PartialCacheValidator, LastModifiedGuardsARangeOnlyWhenStrong) {
  const std::string modified = "Sun, 06 Nov 1994 08:49:37 GMT";
  struct Case {
    std::string etag, lastModified, date, validator;
  };
  const Case cases[] = {
      {"\"e1\"", modified, "", "\"e1\""},                                  // a strong ETag always
      {"W/\"e1\"", modified, "Sun, 06 Nov 1994 08:49:38 GMT", modified},   // a second later: strong
      {"", modified, "Sun, 06 Nov 1994 08:49:37 GMT", ""},                 // the same second: weak
      {"", modified, "Sun, 06 Nov 1994 08:49:36 GMT", ""},                 // a clock behind
      {"", modified, "", ""},                                              // no Date to tell
      {"", modified, "Sunday, 06-Nov-94 08:50:00 GMT", modified},          // RFC 850 form
      {"", modified, "Mon Nov  7 08:49:37 1994", modified},                // asctime form
      {"", "Sun, 06 Nov 1994 08:49:37 UTC", "Mon Nov  7 08:49:37 1994", ""},  // not an HTTP date
      {"", "yesterday", "Mon Nov  7 08:49:37 1994", ""},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(IfRangeValidator(test.etag, test.lastModified, test.date), test.validator)
        << test.lastModified << " / " << test.date;
  }
  // The three forms of one moment agree, and the epoch is where it should be.
  EXPECT_EQ(ParseHttpDate(modified), 784111777);
  EXPECT_EQ(ParseHttpDate("Sunday, 06-Nov-94 08:49:37 GMT"), 784111777);
  EXPECT_EQ(ParseHttpDate("Sun Nov  6 08:49:37 1994"), 784111777);
  EXPECT_EQ(ParseHttpDate("Thu, 01 Jan 1970 00:00:00 GMT"), 0);
  // A server's header cut anywhere is no date.
  for (const std::string& whole : {modified, std::string("Sunday, 06-Nov-94 08:49:37 GMT"),
                                  std::string("Sun Nov  6 08:49:37 1994")}) {
    for (std::size_t n = 0; n < whole.size(); ++n) EXPECT_FALSE(ParseHttpDate(whole.substr(0, n))) << n;
  }
}
