// The HTML page of `torvane-publish report --html`: one file with its style
// and its charts inline (SVG), so that it opens anywhere, offline, and asks no
// other server for a script or a font.

#include <algorithm>
#include <map>
#include <string>

#include "tools/publish/report_output.h"

namespace publish {
namespace {

constexpr int kChartWidth = 760;
constexpr int kChartHeight = 180;
constexpr int kMargin = 40;
constexpr int64_t kMaxBars = 60;
constexpr double kMaxBarWidth = 40;
constexpr std::array<const char*, kOutcomeCount> kColours = {"#2e8b57", "#c0392b", "#999999", "#3b6fb6"};

const char kHead[] = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Torvane outcome reports</title>
<style>
body { font-family: sans-serif; margin: 2em; color: #222; }
table { border-collapse: collapse; margin: 1em 0; }
th, td { border: 1px solid #ccc; padding: 0.3em 0.6em; text-align: right; }
th { background: #f0f0f0; } td.l { text-align: left; }
.legend span { display: inline-block; width: 0.9em; height: 0.9em; margin: 0 0.3em 0 1em; vertical-align: middle; }
</style></head><body>
<h1>Torvane outcome reports</h1>
)";

// Every text written comes from a validated report (digits, dots, names)
// or from this tool, but it is escaped all the same.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '&') out += "&amp;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
  return out;
}

void WriteTable(const ReportSummary& summary, std::ostream& out) {
  out << "<table><tr><th>from</th><th>to</th><th>runs</th><th>updated</th><th>failed</th><th>failed at</th>"
         "<th>cancelled</th><th>current</th><th>median</th><th>90th pct.</th><th>fetched</th><th>patched</th>"
         "<th>Windows</th></tr>\n";
  for (const PairSummary* p : summary.Pairs()) {
    std::string steps, windows;
    for (std::size_t step = 0; step < kStepCount; ++step) {
      if (p->failedAt[step] == 0) continue;
      const char* name = outcome_report::StepName(static_cast<outcome_report::Step>(step));
      const auto codes = p->errors[step].Sorted();
      steps += std::string(steps.empty() ? "" : "<br>") + (*name ? name : "unknown") + " " +
               std::to_string(p->failedAt[step]) + " (top: " + Escaped(codes.front().first) + ")";
    }
    for (const auto& [version, count] : p->windows.Sorted())
      windows += (windows.empty() ? "" : ", ") + Escaped(version) + " &times;" + std::to_string(count);
    out << "<tr><td>" << Escaped(p->from.empty() ? "?" : p->from) << "</td><td>"
        << Escaped(p->to.empty() ? "(none)" : p->to) << "</td><td>" << p->runs << "</td><td>"
        << Share(p->outcomes[0], p->runs) << "</td><td>" << p->outcomes[1] << "</td><td class=l>" << steps
        << "</td><td>" << p->outcomes[2] << "</td><td>" << p->outcomes[3] << "</td><td>"
        << Duration(p->durations.Quantile(0.5)) << "</td><td>" << Duration(p->durations.Quantile(0.9))
        << "</td><td>" << ByteCount(p->bytes) << "</td><td>" << Share(p->patched, p->files) << "</td><td class=l>"
        << windows << "</td></tr>\n";
  }
  out << "</table>\n";
}

using Bars = std::map<int64_t, std::array<uint64_t, kOutcomeCount>>;

// One release's stacked bars on the common time axis [first, last].
void WriteChart(const std::string& release, const Bars& bars, int64_t first, int64_t width, int64_t count,
                std::ostream& out) {
  uint64_t highest = 1;
  for (const auto& [bar, counts] : bars) {
    uint64_t total = 0;
    for (uint64_t c : counts) total += c;
    highest = std::max(highest, total);
  }
  // A few bars stay narrow, so that one bar does not read as a span of time.
  const double barWidth =
      std::min(kMaxBarWidth, static_cast<double>(kChartWidth - 2 * kMargin) / static_cast<double>(count));
  const double unit = static_cast<double>(kChartHeight - 2 * kMargin) / static_cast<double>(highest);
  out << "<h3>to release " << Escaped(release.empty() ? "(none)" : release) << "</h3>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\""
      << kChartWidth << "\" height=\"" << kChartHeight << "\" role=\"img\">\n"
      << "<line x1=\"" << kMargin << "\" y1=\"" << kChartHeight - kMargin << "\" x2=\"" << kChartWidth - kMargin
      << "\" y2=\"" << kChartHeight - kMargin << "\" stroke=\"#444\"/>\n"
      << "<text x=\"4\" y=\"" << kMargin + 4 << "\" font-size=\"11\">" << highest << "</text>\n"
      << "<text x=\"4\" y=\"" << kChartHeight - kMargin << "\" font-size=\"11\">0</text>\n"
      << "<text x=\"" << kMargin << "\" y=\"" << kChartHeight - kMargin + 16 << "\" font-size=\"11\">"
      << FormatUtcMinute(first) << "</text>\n<text x=\"" << kChartWidth - kMargin << "\" y=\""
      << kChartHeight - kMargin + 16 << "\" font-size=\"11\" text-anchor=\"end\">"
      << FormatUtcMinute(first + width * count) << " UTC</text>\n";
  for (const auto& [bar, counts] : bars) {
    double y = kChartHeight - kMargin;
    for (std::size_t i = 0; i < kOutcomeCount; ++i) {
      if (counts[i] == 0) continue;
      const double h = unit * static_cast<double>(counts[i]);
      y -= h;
      out << "<rect x=\"" << kMargin + barWidth * static_cast<double>(bar) << "\" y=\"" << y << "\" width=\""
          << std::max(1.0, barWidth * 0.8) << "\" height=\"" << h << "\" fill=\"" << kColours[i] << "\"><title>"
          << counts[i] << " " << outcome_report::OutcomeName(static_cast<outcome_report::Outcome>(i))
          << "</title></rect>\n";
    }
  }
  out << "</svg>\n";
}

void WriteCharts(const ReportSummary& summary, std::ostream& out) {
  const auto& series = summary.series();
  if (series.empty()) return;
  int64_t first = series.begin()->first.second, last = first;
  for (const auto& entry : series) {
    first = std::min(first, entry.first.second);
    last = std::max(last, entry.first.second);
  }
  const int64_t buckets = (last - first) / summary.bucketSeconds() + 1;
  const int64_t perBar = (buckets + kMaxBars - 1) / kMaxBars;
  const int64_t width = perBar * summary.bucketSeconds();
  const int64_t count = (last - first) / width + 1;
  std::map<std::string, Bars> releases;
  for (const auto& [key, counts] : series) {
    auto& bar = releases[key.first][(key.second - first) / width];
    for (std::size_t i = 0; i < kOutcomeCount; ++i) bar[i] += counts[i];
  }
  out << "<h2>Outcomes per release over time</h2>\n<p class=legend>";
  for (std::size_t i = 0; i < kOutcomeCount; ++i)
    out << "<span style=\"background:" << kColours[i] << "\"></span>"
        << outcome_report::OutcomeName(static_cast<outcome_report::Outcome>(i));
  out << " &mdash; bars of " << Duration(static_cast<uint64_t>(width) * 1000) << ", by the time of the run</p>\n";
  for (const auto& [release, bars] : releases) WriteChart(release, bars, first, width, count, out);
}

}  // namespace

void WriteReportHtml(const ReportSummary& summary, std::ostream& out) {
  const ReportTotals& t = summary.totals();
  out << kHead << "<p>" << t.reports << " report(s) in " << t.lines << " log line(s)";
  if (t.reports) out << ", " << FormatUtcMinute(t.first) << " to " << FormatUtcMinute(t.last) << " UTC";
  out << "; skipped " << t.notReports << " line(s) that are not reports, " << t.malformed
      << " malformed report(s), " << t.outsideRange << " outside the time range.</p>\n";
  WriteTable(summary, out);
  WriteCharts(summary, out);
  out << "</body></html>\n";
}

}  // namespace publish
