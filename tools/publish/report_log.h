#pragma once
// One line of a web server's access log, as far as outcome reports go:
// nginx's combined format, or the short one the README recommends for the
// report location ('[$time_local] "$request" $status'). Both put the time in
// brackets and the request in quotes, escaping bytes as \xHH; what comes
// before the bracket (the client's address and user) is not read.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "updater/base/outcome_report.h"

namespace publish {

// Longer lines are hostile or broken: no report is that long.
constexpr std::size_t kMaxLogLineBytes = 4096;

enum class LogLine {
  kReport,     // a well-formed outcome report, in record
  kOther,      // not a report: another request, or not an access-log line
  kMalformed,  // a report request that does not read (a bad escape, an unknown or repeated field, ...)
};

struct LogRecord {
  int64_t time = 0;  // UTC seconds since 1970
  outcome_report::Report report;
};

LogLine ReadLogLine(std::string_view line, LogRecord& record);

// "09/Dec/2026:03:12:45 +0100" as UTC seconds.
std::optional<int64_t> ParseLogTime(std::string_view text);
// "2026-12-09", "2026-12-09T03:12" or "2026-12-09T03:12:45" (UTC) as seconds.
std::optional<int64_t> ParseUtcTime(std::string_view text);
// "2026-12-09 03:12" of UTC seconds.
std::string FormatUtcMinute(int64_t time);

}  // namespace publish
