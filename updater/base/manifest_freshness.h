#pragma once
// The expiry and serial of a signed manifest: two [Root] keys that keep a
// captured, validly signed manifest from being served for ever or in place of
// a newer one (format: docs/manifest-expiry.md).
//
//   Expires=YYYY-MM-DDTHH:MM:SSZ   (UTC)
//   Serial=<decimal, grows with every signing>
//
// A build with keys accepts a manifest only when both are well formed, the
// expiry lies after the caller's clock and the serial is not below the highest
// one accepted before in the same client folder. Equal is accepted: a run that
// failed fetches the same manifest again. Builds without keys never read them.

#include <cstdint>
#include <string>

#include "updater/base/profile_reader.h"

namespace manifest_freshness {

constexpr char kExpiresKey[] = "Expires";
constexpr char kSerialKey[] = "Serial";
constexpr std::size_t kExpiresLength = 20;  // YYYY-MM-DDTHH:MM:SSZ
constexpr std::size_t kSerialDigits = 19;   // fits int64

// Seconds since 1970-01-01T00:00:00Z of an exact YYYY-MM-DDTHH:MM:SSZ text
// (years 1970-9999, a real calendar date, seconds 00-59). False otherwise.
bool ParseExpires(const std::string& text, int64_t& seconds);

// The text of a time given as seconds since 1970 (0 to the end of 9999).
std::string FormatExpires(int64_t seconds);

// One to kSerialDigits decimal digits, nothing else. False otherwise.
bool ParseSerial(const std::string& text, uint64_t& serial);

enum class Verdict { kAccepted, kMissing, kExpired, kRolledBack };

struct Stamp {
  bool present = false;  // both keys there and well formed
  int64_t expires = 0;
  uint64_t serial = 0;
};

// Reads both keys of [Root] as the updater does (each cut to its length + 1,
// so an over-long value is refused rather than cut into a valid one).
Stamp ReadStamp(const ProfileReader& reader);

// now: the caller's clock in seconds since 1970; highestAccepted: 0 when
// nothing was accepted in this folder yet.
Verdict Judge(const Stamp& stamp, int64_t now, uint64_t highestAccepted);

// The state file that keeps the highest accepted serial: the decimal serial
// and CRLF. False for a text in any other form: a damaged state file must not
// read as "nothing accepted", which would let an older manifest back in.
bool ParseStateFile(const std::string& text, uint64_t& serial);
std::string FormatStateFile(uint64_t serial);

}  // namespace manifest_freshness
