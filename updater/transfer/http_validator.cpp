#include "updater/transfer/http_validator.h"

#include <cstring>
#include <string_view>

#include "updater/base/civil_date.h"

namespace {

// Reads exactly count digits at text[at].
bool Digits(const std::string& text, std::size_t& at, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = 0; i < count; ++i, ++at) {
    if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
    value = value * 10 + (text[at] - '0');
  }
  return true;
}

bool Literal(const std::string& text, std::size_t& at, const char* literal) {
  const std::size_t n = std::strlen(literal);
  if (text.compare(at, n, literal) != 0) return false;
  at += n;
  return true;
}

bool Month(const std::string& text, std::size_t& at, int& month) {
  if (at > text.size()) return false;
  month = civil_date::MonthOfName(std::string_view(text).substr(at, 3));
  if (month == 0) return false;
  at += 3;
  return true;
}

bool Clock(const std::string& text, std::size_t& at, int& h, int& m, int& s) {
  return Digits(text, at, 2, h) && Literal(text, at, ":") && Digits(text, at, 2, m) &&
         Literal(text, at, ":") && Digits(text, at, 2, s);
}

}  // namespace

std::optional<int64_t> ParseHttpDate(const std::string& text) {
  const std::size_t comma = text.find(',');
  std::size_t at = 0;
  int year = 0, month = 0, day = 0, h = 0, m = 0, s = 0;
  bool read = false;
  if (comma == 3) {  // IMF-fixdate
    at = 4;
    read = Literal(text, at, " ") && Digits(text, at, 2, day) && Literal(text, at, " ") &&
           Month(text, at, month) && Literal(text, at, " ") && Digits(text, at, 4, year) &&
           Literal(text, at, " ") && Clock(text, at, h, m, s) && Literal(text, at, " GMT");
  } else if (comma != std::string::npos && comma > 3) {  // RFC 850, two-digit year
    at = comma + 1;
    read = Literal(text, at, " ") && Digits(text, at, 2, day) && Literal(text, at, "-") &&
           Month(text, at, month) && Literal(text, at, "-") && Digits(text, at, 2, year) &&
           Literal(text, at, " ") && Clock(text, at, h, m, s) && Literal(text, at, " GMT");
    // A two-digit year more than 50 years ahead is of the century before.
    year += year < 70 ? 2000 : 1900;
  } else if (comma == std::string::npos && text.size() == 24) {  // asctime
    at = 4;
    if (Month(text, at, month) && Literal(text, at, " ")) {
      const bool oneDigitDay = Literal(text, at, " ");  // the day is padded with a space
      read = Digits(text, at, oneDigitDay ? 1 : 2, day) && Literal(text, at, " ") &&
             Clock(text, at, h, m, s) && Literal(text, at, " ") && Digits(text, at, 4, year);
    }
  }
  if (!read || at != text.size() || day < 1 || day > 31 || h > 23 || m > 59 || s > 60) return std::nullopt;
  return ((civil_date::DaysFromCivil(year, month, day) * 24 + h) * 60 + m) * 60 + s;
}

std::string IfRangeValidator(const std::string& etag, const std::string& lastModified,
                             const std::string& date) {
  if (!etag.empty() && etag.compare(0, 2, "W/") != 0) return etag;
  const std::optional<int64_t> modified = ParseHttpDate(lastModified);
  const std::optional<int64_t> sent = ParseHttpDate(date);
  if (modified && sent && *sent - *modified >= 1) return lastModified;
  return std::string();
}
