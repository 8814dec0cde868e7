// Arbitrary bytes as an outcome report's query, as the kept-reports file and
// as an access-log line: nothing may crash, and whatever reads must write
// back as text that reads the same.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/publish/report_log.h"
#include "updater/base/outcome_report.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (const auto report = outcome_report::ParseQuery(bytes)) {
    const std::string query = outcome_report::QueryOf(*report);
    Require(query.size() <= outcome_report::kMaxQueryBytes);
    Require(outcome_report::QueryOf(*outcome_report::ParseQuery(query)) == query);
  }
  const outcome_report::Kept kept = outcome_report::ParseKept(bytes);
  Require(kept.reports.size() <= outcome_report::kMaxKept);
  Require(kept.url.empty() || outcome_report::IsReportUrl(kept.url));
  const std::string text = outcome_report::FormatKept(kept);
  Require(outcome_report::FormatKept(outcome_report::ParseKept(text)) == text);
  publish::LogRecord record;
  if (publish::ReadLogLine(bytes, record) == publish::LogLine::kReport)
    Require(outcome_report::ParseQuery(outcome_report::QueryOf(record.report)).has_value());
  return 0;
}
