#include <gtest/gtest.h>

#include <sstream>

#include "tools/publish/report_log.h"
#include "tools/publish/report_output.h"
#include "tools/publish/report_summary.h"

namespace publish {
namespace {

const std::string kQuery = "v=1&from=400&to=500&outcome=failed&step=download&error=404&ms=5980&files=2"
                           "&bytes=506&patched=0&os=6.1.7601&age=0";

std::string Combined(const std::string& target, const std::string& time = "09/Dec/2026:03:12:45 +0100") {
  return "127.0.0.1 - - [" + time + "] \"GET " + target + " HTTP/1.1\" 204 0 \"-\" \"Torvane\"";
}

std::string Short(const std::string& target) { return "[09/Dec/2026:02:12:45 +0000] \"GET " + target + " HTTP/1.1\" 204"; }

std::string With(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

TEST(ReportLog, ReadsBothFormatsAndCountsWhatIsNoReport) {
  struct Case {
    std::string line;
    LogLine kind;
  };
  const Case cases[] = {
      {Combined("/report?" + kQuery), LogLine::kReport},
      {Short("/report?" + kQuery), LogLine::kReport},
      {Short("/report?" + kQuery) + "\r", LogLine::kReport},
      {Short("/r/x?" + With(kQuery, "from=400", "from=\\x34\\x30\\x30")), LogLine::kReport},
      {Short("/HistoryVersionList.cfg"), LogLine::kOther},
      {Short("/list.cfg?nocache=1"), LogLine::kOther},
      {"not an access log line at all", LogLine::kOther},
      {"", LogLine::kOther},
      // Hostile or broken reports: counted, never read.
      {Short("/report?" + kQuery + "&age=1"), LogLine::kMalformed},
      {Short("/report?" + kQuery + "&user=bob"), LogLine::kMalformed},
      {Short("/report?" + With(kQuery, "from=400", "from=\\x3")), LogLine::kMalformed},
      {Short("/report?" + With(kQuery, "from=400", "from=\\q00")), LogLine::kMalformed},
      {Short("/report?" + With(kQuery, "from=400", "from=%4")), LogLine::kMalformed},
      {Short("/report?" + kQuery + std::string(kMaxLogLineBytes, 'a')), LogLine::kMalformed},
      {Combined("/report?" + kQuery, "31/Foo/2026:03:12:45 +0100"), LogLine::kMalformed},
      {Combined("/report?" + kQuery, "09/Dec/2026:25:12:45 +0100"), LogLine::kMalformed},
      {Short("/report?v=1"), LogLine::kMalformed},
  };
  for (const Case& c : cases) {
    LogRecord record;
    EXPECT_EQ(ReadLogLine(c.line, record), c.kind) << c.line.substr(0, 200);
    if (c.kind == LogLine::kReport) EXPECT_EQ(record.time, 1796782365) << c.line;
  }
  EXPECT_EQ(ParseUtcTime("2026-12-09T02:12:45Z"), 1796782365);
  EXPECT_EQ(ParseUtcTime("2026-12-09 02:12"), 1796782320);
  EXPECT_EQ(ParseUtcTime("2026-12-09"), 1796774400);
  for (const char* bad : {"2026-12-9", "2026-12-09T2:12", "2026-13-01", "2026-12-09T02:12:4", "x"})
    EXPECT_FALSE(ParseUtcTime(bad)) << bad;
  EXPECT_EQ(FormatUtcMinute(1796782365), "2026-12-09 02:12");
}

TEST(ReportSummary, SumsPerPairWithBoundedState) {
  ReportSummary summary;
  LogRecord record;
  const auto add = [&](const std::string& line, int64_t since = INT64_MIN, int64_t until = INT64_MAX) {
    summary.Add(ReadLogLine(line, record), record, since, until);
  };
  // 100 runs 400 -> 500: durations 1..100 s, one in ten failed, a third patched.
  for (int i = 1; i <= 100; ++i) {
    std::string q = With(kQuery, "ms=5980", "ms=" + std::to_string(i * 1000));
    if (i % 10 != 0) q = With(With(With(q, "outcome=failed", "outcome=updated"), "step=download", "step="), "error=404", "error=");
    if (i % 3 == 0) q = With(q, "patched=0", "patched=2");
    add(Short("/report?" + q));
  }
  add(Short("/report?" + With(kQuery, "from=400", "from=300")), 1796782366);
  add(Short("/report?" + kQuery + "&x=1"));
  add(Short("/index.html"));
  const ReportTotals& t = summary.totals();
  EXPECT_EQ(std::vector<uint64_t>({t.lines, t.reports, t.notReports, t.malformed, t.outsideRange}),
            std::vector<uint64_t>({103, 100, 1, 1, 1}));
  const std::vector<const PairSummary*> pairs = summary.Pairs();
  ASSERT_EQ(pairs.size(), 1u);
  const PairSummary& p = *pairs[0];
  EXPECT_EQ(p.runs, 100u);
  EXPECT_EQ(p.outcomes[0], 90u);
  EXPECT_EQ(p.failedAt[static_cast<int>(outcome_report::Step::kDownload)], 10u);
  EXPECT_EQ(p.patched, 66u);
  EXPECT_NEAR(p.durations.Quantile(0.5), 50000, 2500);
  EXPECT_NEAR(p.durations.Quantile(0.9), 90000, 4500);
  std::ostringstream text, json, html;
  WriteReportText(summary, text);
  WriteReportJson(summary, json);
  WriteReportHtml(summary, html);
  EXPECT_NE(text.str().find("400 -> 500: 100 run(s)"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("download 10 (404 x10)"), std::string::npos) << text.str();
  EXPECT_NE(json.str().find("\"download\":{\"runs\":10,\"errors\":{\"404\":10}}"), std::string::npos) << json.str();
  EXPECT_EQ(html.str().find("<script"), std::string::npos);
  EXPECT_NE(html.str().find("<svg"), std::string::npos);

  // Codes and versions past the bound count as "other"; the table stays bounded.
  BoundedCounts codes;
  for (int i = 0; i < 1000; ++i) codes.Add(std::to_string(i % 500));
  EXPECT_EQ(codes.Sorted().size(), kMaxDistinct + 1);
  EXPECT_EQ(codes.Sorted().front(), std::make_pair(std::string("other"), uint64_t{1000 - 2 * kMaxDistinct}));
}

}  // namespace
}  // namespace publish
