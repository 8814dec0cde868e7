#include "updater/base/manifest_freshness.h"

#include <gtest/gtest.h>

#include <string>

#include "updater/base/ini_text_reader.h"

namespace {

using namespace manifest_freshness;

// 2027-03-01T00:00:00Z: the day after the last of February in a common year.
constexpr int64_t kMarch2027 = 1803859200;

TEST(ManifestFreshness, ReadsOnlyExactUtcTimesOfRealDates) {
  struct Case {
    const char* text;
    bool valid;
    int64_t seconds;
  } cases[] = {
      {"1970-01-01T00:00:00Z", true, 0},
      {"2027-02-28T23:59:59Z", true, kMarch2027 - 1},
      {"2027-03-01T00:00:00Z", true, kMarch2027},
      {"2028-02-29T12:00:00Z", true, 1835438400},
      {"2000-02-29T00:00:00Z", true, 951782400},
      {"9999-12-31T23:59:59Z", true, 253402300799},
      {"2027-02-29T00:00:00Z", false, 0},  // not a leap year
      {"1900-02-29T00:00:00Z", false, 0},
      {"2027-13-01T00:00:00Z", false, 0},
      {"2027-04-31T00:00:00Z", false, 0},
      {"2027-01-01T24:00:00Z", false, 0},
      {"2027-01-01T00:60:00Z", false, 0},
      {"2027-01-01T00:00:60Z", false, 0},
      {"1969-12-31T23:59:59Z", false, 0},
      {"2027-01-01T00:00:00", false, 0},
      {"2027-01-01 00:00:00Z", false, 0},
      {"2027-01-01T00:00:00+01", false, 0},
      {"2027-1-01T00:00:00Z", false, 0},
      {"+027-01-01T00:00:00Z", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int64_t seconds = -1;
    ASSERT_EQ(ParseExpires(c.text, seconds), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(seconds, c.seconds);
    EXPECT_EQ(FormatExpires(seconds), c.text);
  }
}

TEST(ManifestFreshness, SerialIsPlainDecimalWithinRange) {
  struct Case {
    const char* text;
    bool valid;
    uint64_t serial;
  } cases[] = {
      {"0", true, 0},
      {"1", true, 1},
      {"0042", true, 42},
      {"9223372036854775807", true, 9223372036854775807ull},
      {"10000000000000000000", false, 0},  // 20 digits
      {"", false, 0},
      {"-1", false, 0},
      {"+1", false, 0},
      {"1 ", false, 0},
      {"0x10", false, 0},
      {"1e3", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t serial = 0;
    ASSERT_EQ(ParseSerial(c.text, serial), c.valid);
    if (c.valid) EXPECT_EQ(serial, c.serial);
  }
}

TEST(ManifestFreshness, RefusesMissingExpiredAndOlderManifests) {
  const int64_t now = kMarch2027;
  struct Case {
    const char* name;
    const char* root;  // the [Root] keys besides the release list
    uint64_t highest;
    Verdict verdict;
  } cases[] = {
      {"fresh, first run", "Expires=2027-03-01T00:00:01Z\r\nSerial=1", 0, Verdict::kAccepted},
      {"same serial again", "Expires=2027-06-01T00:00:00Z\r\nSerial=7", 7, Verdict::kAccepted},
      {"higher serial", "Expires=2027-06-01T00:00:00Z\r\nSerial=8", 7, Verdict::kAccepted},
      {"lower serial", "Expires=2027-06-01T00:00:00Z\r\nSerial=6", 7, Verdict::kRolledBack},
      {"expires now", "Expires=2027-03-01T00:00:00Z\r\nSerial=9", 0, Verdict::kExpired},
      {"expired", "Expires=2027-02-28T23:59:59Z\r\nSerial=9", 0, Verdict::kExpired},
      {"expired and older", "Expires=2020-01-01T00:00:00Z\r\nSerial=1", 7, Verdict::kExpired},
      {"no expiry", "Serial=9", 0, Verdict::kMissing},
      {"no serial", "Expires=2027-06-01T00:00:00Z", 0, Verdict::kMissing},
      {"neither", "", 0, Verdict::kMissing},
      {"malformed expiry", "Expires=2027-06-01\r\nSerial=9", 0, Verdict::kMissing},
      {"over-long expiry cut to a valid one", "Expires=2027-06-01T00:00:00Zjunk\r\nSerial=9", 0,
       Verdict::kMissing},
      {"over-long serial", "Expires=2027-06-01T00:00:00Z\r\nSerial=10000000000000000000", 0,
       Verdict::kMissing},
      {"quoted values", "Expires=\"2027-06-01T00:00:00Z\"\r\nSerial= 9 ", 9, Verdict::kAccepted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string manifest = std::string("[Root]\r\nVersionCount=2\r\n") + c.root + "\r\n[500]\r\n";
    EXPECT_EQ(Judge(ReadStamp(IniTextReader(manifest)), now, c.highest), c.verdict);
  }
}

TEST(ManifestFreshness, StateFileKeepsOneSerialAndAnyOtherFormIsRefused) {
  for (uint64_t kept : {uint64_t{0}, uint64_t{123456789012345ull}}) {
    uint64_t serial = 1;
    EXPECT_TRUE(ParseStateFile(FormatStateFile(kept), serial));
    EXPECT_EQ(serial, kept);
  }
  for (const char* broken : {"", "12", "12\r\nx", "x\r\n", "\r\n", "1 2\r\n", "12\n"}) {
    uint64_t serial = 0;
    EXPECT_FALSE(ParseStateFile(broken, serial)) << broken;
  }
}

}  // namespace
