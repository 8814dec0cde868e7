#include "tools/publish/report_log.h"

#include <cstdio>

#include "updater/base/civil_date.h"

namespace publish {
namespace {

// Reads count decimal digits at text[at...].
bool Digits(std::string_view text, std::size_t at, std::size_t count, int64_t& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

std::optional<int64_t> Seconds(int64_t y, int64_t mo, int64_t d, int64_t h, int64_t mi, int64_t s) {
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
  return civil_date::DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// nginx writes a quote, a backslash and bytes outside printable ASCII as \xHH.
bool UnescapeNginx(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 3 >= text.size()) return false;
    if (text[i + 1] != 'x' || HexValue(text[i + 2]) < 0 || HexValue(text[i + 3]) < 0) return false;
    out += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
    i += 3;
  }
  return true;
}

// Whether a query is meant as a report: it has a field v, wherever.
bool LooksLikeReport(std::string_view query) {
  for (std::size_t at = 0; at < query.size();) {
    if (query.compare(at, 2, "v=") == 0) return true;
    const std::size_t amp = query.find('&', at);
    if (amp == std::string_view::npos) break;
    at = amp + 1;
  }
  return false;
}

}  // namespace

std::optional<int64_t> ParseLogTime(std::string_view t) {
  // dd/Mon/yyyy:HH:MM:SS +zzzz
  int64_t d, y, h, mi, s, zh, zm;
  if (t.size() != 26 || t[2] != '/' || t[6] != '/' || t[11] != ':' || t[20] != ' ') return std::nullopt;
  if (!Digits(t, 0, 2, d) || !Digits(t, 7, 4, y) || !Digits(t, 12, 2, h) || !Digits(t, 15, 2, mi) ||
      !Digits(t, 18, 2, s) || !Digits(t, 22, 2, zh) || !Digits(t, 24, 2, zm) || (t[21] != '+' && t[21] != '-'))
    return std::nullopt;
  const std::optional<int64_t> local = Seconds(y, civil_date::MonthOfName(t.substr(3, 3)), d, h, mi, s);
  if (!local) return std::nullopt;
  const int64_t offset = (zh * 3600 + zm * 60) * (t[21] == '+' ? 1 : -1);
  return *local - offset;
}

std::optional<int64_t> ParseUtcTime(std::string_view t) {
  int64_t y, mo, d, h = 0, mi = 0, s = 0;
  if (!Digits(t, 0, 4, y) || t.size() < 10 || t[4] != '-' || t[7] != '-' || !Digits(t, 5, 2, mo) ||
      !Digits(t, 8, 2, d))
    return std::nullopt;
  if (t.size() > 10) {
    if ((t[10] != 'T' && t[10] != ' ') || !Digits(t, 11, 2, h) || t.size() < 16 || t[13] != ':' ||
        !Digits(t, 14, 2, mi))
      return std::nullopt;
    const std::size_t size = t.back() == 'Z' ? t.size() - 1 : t.size();
    if (size != 16 && (size != 19 || t[16] != ':' || !Digits(t, 17, 2, s))) return std::nullopt;
  }
  return Seconds(y, mo, d, h, mi, s);
}

std::string FormatUtcMinute(int64_t time) {
  const int64_t days = time >= 0 ? time / 86400 : (time - 86399) / 86400;
  const int64_t rest = time - days * 86400;
  // Civil date of a day number (the inverse of DaysFromCivil).
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp + (mp < 10 ? 3 : -9);
  const int64_t y = yoe + era * 400 + (m <= 2);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld", static_cast<long long>(y),
                static_cast<long long>(m), static_cast<long long>(d), static_cast<long long>(rest / 3600),
                static_cast<long long>(rest % 3600 / 60));
  return text;
}

LogLine ReadLogLine(std::string_view line, LogRecord& record) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::size_t open = line.find('[');
  const std::size_t close = open == std::string_view::npos ? open : line.find(']', open);
  if (close == std::string_view::npos || close + 2 >= line.size() || line[close + 1] != ' ' ||
      line[close + 2] != '"')
    return line.size() > kMaxLogLineBytes ? LogLine::kMalformed : LogLine::kOther;
  const std::size_t end = line.find('"', close + 3);
  if (end == std::string_view::npos) return LogLine::kOther;
  const std::string_view request = line.substr(close + 3, end - close - 3);
  const std::size_t query = request.find('?');
  if (query == std::string_view::npos) return LogLine::kOther;
  const std::size_t space = request.find(' ', query);
  const std::string_view raw = request.substr(query + 1, space == std::string_view::npos ? space : space - query - 1);
  if (!LooksLikeReport(raw) || request.compare(0, 4, "GET ") != 0) return LogLine::kOther;
  if (line.size() > kMaxLogLineBytes) return LogLine::kMalformed;
  const std::optional<int64_t> time = ParseLogTime(line.substr(open + 1, close - open - 1));
  if (!time) return LogLine::kMalformed;
  std::optional<outcome_report::Report> report;
  if (raw.find('\\') == std::string_view::npos) {
    report = outcome_report::ParseQuery(raw);
  } else {
    std::string unescaped;
    if (!UnescapeNginx(raw, unescaped)) return LogLine::kMalformed;
    report = outcome_report::ParseQuery(unescaped);
  }
  if (!report) return LogLine::kMalformed;
  record.time = *time;
  record.report = std::move(*report);
  return LogLine::kReport;
}

}  // namespace publish
