#include "updater/base/manifest_freshness.h"

#include <cstdio>

namespace manifest_freshness {
namespace {

const char kRoot[] = "Root";

bool Digits(const std::string& text, std::size_t at, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = year / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

}  // namespace

bool ParseExpires(const std::string& text, int64_t& seconds) {
  if (text.size() != kExpiresLength || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
      text[13] != ':' || text[16] != ':' || text[19] != 'Z') {
    return false;
  }
  int year, month, day, hour, minute, second;
  if (!Digits(text, 0, 4, year) || !Digits(text, 5, 2, month) || !Digits(text, 8, 2, day) ||
      !Digits(text, 11, 2, hour) || !Digits(text, 14, 2, minute) || !Digits(text, 17, 2, second)) {
    return false;
  }
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return false;
  }
  seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

std::string FormatExpires(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  // Civil date from days since 1970 (the inverse of DaysFromCivil).
  days += 719468;
  const int64_t era = days / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2);
  char text[32];
  std::snprintf(text, sizeof(text), "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), static_cast<long long>(month), static_cast<long long>(day),
                static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                static_cast<long long>(rest % 60));
  return text;
}

bool ParseSerial(const std::string& text, uint64_t& serial) {
  if (text.empty() || text.size() > kSerialDigits) return false;
  serial = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    serial = serial * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

Stamp ReadStamp(const ProfileReader& reader) {
  Stamp stamp;
  const std::string expires = reader.Read(kRoot, kExpiresKey, kExpiresLength + 1);
  const std::string serial = reader.Read(kRoot, kSerialKey, kSerialDigits + 1);
  stamp.present = ParseExpires(expires, stamp.expires) && ParseSerial(serial, stamp.serial);
  return stamp;
}

Verdict Judge(const Stamp& stamp, int64_t now, uint64_t highestAccepted) {
  if (!stamp.present) return Verdict::kMissing;
  if (stamp.expires <= now) return Verdict::kExpired;
  if (stamp.serial < highestAccepted) return Verdict::kRolledBack;
  return Verdict::kAccepted;
}

bool ParseStateFile(const std::string& text, uint64_t& serial) {
  const std::size_t end = text.find("\r\n");
  serial = 0;
  return end != std::string::npos && end + 2 == text.size() && ParseSerial(text.substr(0, end), serial);
}

std::string FormatStateFile(uint64_t serial) { return std::to_string(serial) + "\r\n"; }

}  // namespace manifest_freshness
