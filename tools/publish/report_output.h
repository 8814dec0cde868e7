#pragma once
// What `torvane-publish report` prints: text for people, JSON for machines
// and one self-contained HTML page (report_html.cpp) with a chart of the
// outcomes per release over time.

#include <ostream>

#include "tools/publish/report_summary.h"

namespace publish {

void WriteReportText(const ReportSummary& summary, std::ostream& out);
void WriteReportJson(const ReportSummary& summary, std::ostream& out);
void WriteReportHtml(const ReportSummary& summary, std::ostream& out);

// Shared by the three: "12.5 %" of part in whole, "-" of nothing.
std::string Share(uint64_t part, uint64_t whole);
// "1.2 s", "850 ms", "3.4 min".
std::string Duration(uint64_t ms);
// "12.3 MB" (decimal units).
std::string ByteCount(uint64_t bytes);

}  // namespace publish
