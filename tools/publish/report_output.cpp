#include "tools/publish/report_output.h"

#include <cstdio>

namespace publish {
namespace {

constexpr std::size_t kTopErrors = 3;

std::string Fixed(double value, const char* unit) {
  char text[48];
  std::snprintf(text, sizeof text, "%.1f %s", value, unit);
  return text;
}

std::string PairName(const PairSummary& pair) {
  return (pair.from.empty() ? "?" : pair.from) + " -> " + (pair.to.empty() ? "(none)" : pair.to);
}

// "download 2 (404 x1, 12029 x1)" for each step with failures.
std::string FailedBySteps(const PairSummary& pair) {
  std::string text;
  for (std::size_t step = 0; step < kStepCount; ++step) {
    if (pair.failedAt[step] == 0) continue;
    const char* name = outcome_report::StepName(static_cast<outcome_report::Step>(step));
    text += std::string(text.empty() ? "" : "; ") + (*name ? name : "unknown") + " " +
            std::to_string(pair.failedAt[step]) + " (";
    const auto codes = pair.errors[step].Sorted();
    for (std::size_t i = 0; i < codes.size() && i < kTopErrors; ++i) {
      text += (i ? ", " : "") + codes[i].first + " x" + std::to_string(codes[i].second);
    }
    text += ")";
  }
  return text;
}

// JSON text of a string known to hold no quote, backslash or control byte
// (versions, step names, Windows versions and codes are digits and letters).
std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

void WritePairJson(const PairSummary& pair, std::ostream& out) {
  out << "{\"from\":" << Quoted(pair.from) << ",\"to\":" << Quoted(pair.to) << ",\"runs\":" << pair.runs;
  for (std::size_t i = 0; i < kOutcomeCount; ++i) {
    out << ",\"" << outcome_report::OutcomeName(static_cast<outcome_report::Outcome>(i)) << "\":" << pair.outcomes[i];
  }
  out << ",\"updated_share\":" << (pair.runs ? static_cast<double>(pair.outcomes[0]) / pair.runs : 0.0)
      << ",\"failed_by_step\":{";
  bool first = true;
  for (std::size_t step = 0; step < kStepCount; ++step) {
    if (pair.failedAt[step] == 0) continue;
    const char* name = outcome_report::StepName(static_cast<outcome_report::Step>(step));
    out << (first ? "" : ",") << Quoted(*name ? name : "unknown") << ":{\"runs\":" << pair.failedAt[step]
        << ",\"errors\":{";
    bool firstCode = true;
    for (const auto& [code, count] : pair.errors[step].Sorted()) {
      out << (firstCode ? "" : ",") << Quoted(code) << ":" << count;
      firstCode = false;
    }
    out << "}}";
    first = false;
  }
  out << "},\"median_ms\":" << pair.durations.Quantile(0.5) << ",\"p90_ms\":" << pair.durations.Quantile(0.9)
      << ",\"bytes\":" << pair.bytes << ",\"files\":" << pair.files << ",\"patched\":" << pair.patched
      << ",\"patched_share\":" << (pair.files ? static_cast<double>(pair.patched) / pair.files : 0.0)
      << ",\"windows\":{";
  first = true;
  for (const auto& [version, count] : pair.windows.Sorted()) {
    out << (first ? "" : ",") << Quoted(version) << ":" << count;
    first = false;
  }
  out << "}}";
}

}  // namespace

std::string Share(uint64_t part, uint64_t whole) {
  return whole == 0 ? "-" : Fixed(100.0 * static_cast<double>(part) / static_cast<double>(whole), "%");
}

std::string Duration(uint64_t ms) {
  if (ms < 1000) return std::to_string(ms) + " ms";
  if (ms < 120000) return Fixed(ms / 1000.0, "s");
  return Fixed(ms / 60000.0, "min");
}

std::string ByteCount(uint64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " B";
  if (bytes < 1000000) return Fixed(bytes / 1e3, "kB");
  if (bytes < 1000000000) return Fixed(bytes / 1e6, "MB");
  return Fixed(bytes / 1e9, "GB");
}

void WriteReportText(const ReportSummary& summary, std::ostream& out) {
  const ReportTotals& t = summary.totals();
  out << t.reports << " report(s) in " << t.lines << " line(s)";
  if (t.reports) out << ", " << FormatUtcMinute(t.first) << " to " << FormatUtcMinute(t.last) << " UTC";
  out << "; skipped: " << t.notReports << " not a report, " << t.malformed << " malformed, " << t.outsideRange
      << " outside the time range\n";
  for (const PairSummary* pair : summary.Pairs()) {
    out << "\n" << PairName(*pair) << ": " << pair->runs << " run(s)\n"
        << "  updated   " << pair->outcomes[0] << " (" << Share(pair->outcomes[0], pair->runs) << ")\n"
        << "  failed    " << pair->outcomes[1] << " (" << Share(pair->outcomes[1], pair->runs) << ")";
    const std::string steps = FailedBySteps(*pair);
    if (!steps.empty()) out << ": " << steps;
    out << "\n  cancelled " << pair->outcomes[2] << " (" << Share(pair->outcomes[2], pair->runs) << ")\n"
        << "  current   " << pair->outcomes[3] << " (" << Share(pair->outcomes[3], pair->runs) << ")\n"
        << "  duration  median " << Duration(pair->durations.Quantile(0.5)) << ", 90th percentile "
        << Duration(pair->durations.Quantile(0.9)) << "\n"
        << "  fetched   " << ByteCount(pair->bytes) << "; " << pair->files << " file(s), "
        << Share(pair->patched, pair->files) << " patched\n  windows  ";
    for (const auto& [version, count] : pair->windows.Sorted()) out << " " << version << " x" << count;
    out << "\n";
  }
}

void WriteReportJson(const ReportSummary& summary, std::ostream& out) {
  const ReportTotals& t = summary.totals();
  out << "{\"lines\":" << t.lines << ",\"reports\":" << t.reports << ",\"not_reports\":" << t.notReports
      << ",\"malformed\":" << t.malformed << ",\"outside_range\":" << t.outsideRange << ",\"first\":" << t.first
      << ",\"last\":" << t.last << ",\"pairs\":[";
  bool first = true;
  for (const PairSummary* pair : summary.Pairs()) {
    if (!first) out << ",";
    WritePairJson(*pair, out);
    first = false;
  }
  out << "]}\n";
}

}  // namespace publish
