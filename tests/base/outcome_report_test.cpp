#include "updater/base/outcome_report.h"

#include <gtest/gtest.h>

#include "updater/base/ini_text_reader.h"
#include "updater/base/run_outcome.h"

using namespace outcome_report;

namespace {

const char kGood[] = "v=1&from=400&to=500&outcome=failed&step=download&error=404&ms=5980&files=2&bytes=506"
                     "&patched=0&os=6.1.7601&age=0";

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

}  // namespace

TEST(OutcomeReport, QueryRoundTripsAndHoldsExactlyTheFields) {
  const std::optional<Report> report = ParseQuery(kGood);
  ASSERT_TRUE(report);
  EXPECT_EQ(QueryOf(*report), kGood);
  EXPECT_EQ(report->step, Step::kDownload);
  EXPECT_EQ(RequestUrl("http://h/r", *report), std::string("http://h/r?") + kGood);
  EXPECT_EQ(RequestUrl("http://h/r?k=1", *report).substr(0, 16), "http://h/r?k=1&v");
  // One field changed at a time: each is refused.
  const std::pair<const char*, const char*> bad[] = {
      {"v=1", "v=2"},           {"&age=0", ""},          {"&age=0", "&age=0&age=0"}, {"&age=0", "&age=0&user=x"},
      {"outcome=failed", "outcome=lost"}, {"step=download", "step=boot"}, {"error=404", "error=x"},
      {"os=6.1.7601", "os=6.1"},  {"os=6.1.7601", "os=6.1.7601.1"}, {"ms=5980", "ms=-1"},
      {"ms=5980", "ms=99999999999999999999"}, {"from=400", "from=4%2"}, {"from=400", "from=%34%3"},
      {"&age=0", "&age=0&"},    {"from=400", "from"},    {"v=1&", "v=1&&"},
  };
  for (const auto& [from, to] : bad) EXPECT_FALSE(ParseQuery(Replaced(kGood, from, to))) << to;
  EXPECT_TRUE(ParseQuery(Replaced(kGood, "from=400", "from=%34%30%30")));
  EXPECT_FALSE(ParseQuery(std::string(kGood) + std::string(kMaxQueryBytes, '0')));
}

TEST(OutcomeReport, OnlyHttpAndHttpsUrlsWithAHostAreTaken) {
  for (const char* url : {"http://reports.example.com/r", "https://h:8443/r?x=1", "http://127.0.0.1/"})
    EXPECT_TRUE(IsReportUrl(url)) << url;
  for (const char* url : {"", "ftp://h/r", "file:///c:/x", "http://", "http:///r", "https://h/r#f",
                          "http://h/a b", "http://user@h/r", "http://h/\x01"})
    EXPECT_FALSE(IsReportUrl(url)) << url;
  EXPECT_FALSE(IsReportUrl("http://h/" + std::string(kMaxUrlBytes, 'a')));
  EXPECT_EQ(ReadReportUrl(IniTextReader("[Root]\r\nReportUrl=https://h/r\r\n")), "https://h/r");
  EXPECT_EQ(ReadReportUrl(IniTextReader("[Root]\r\nReportUrl=ftp://h/r\r\n")), "");
}

TEST(OutcomeReport, KeptFileKeepsTheNewestEightAndReadsEveryCutAsAPrefix) {
  Kept kept;
  kept.url = "http://h/r";
  for (uint64_t i = 0; i < kMaxKept + 3; ++i) {
    Report report = *ParseQuery(kGood);
    report.ms = i;
    AddKept(kept, {1000 + i, report});
  }
  ASSERT_EQ(kept.reports.size(), kMaxKept);
  EXPECT_EQ(kept.reports.front().report.ms, 3u);
  const std::string text = FormatKept(kept);
  EXPECT_EQ(FormatKept(ParseKept(text)), text);
  // A write cut anywhere reads as the whole lines before the cut.
  std::size_t lastCount = 0;
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    const Kept read = ParseKept(text.substr(0, cut));
    const std::size_t lines = std::count(text.begin(), text.begin() + cut, '\n');
    EXPECT_EQ(read.reports.size(), lines > 2 ? lines - 2 : 0) << cut;
    EXPECT_EQ(read.url, lines >= 2 ? kept.url : "") << cut;
    EXPECT_GE(read.reports.size(), lastCount);
    lastCount = read.reports.size();
  }
  EXPECT_TRUE(ParseKept("torvane-reports 2\nurl\thttp://h/r\n").url.empty());
  EXPECT_EQ(ParseKept("torvane-reports 1\nreport\tx\tv=1\nreport\t5\t" + std::string(kGood) + "\n").reports.size(), 1u);
}

// Events as the updater logs them, and the report each run gives.
TEST(RunOutcome, ReadsTheStepAndCodeOffTheLoggedEvents) {
  struct Case {
    std::vector<std::string> events;
    const char* query;  // of the run's report, without v=1&
  };
  const std::string start = "start version=1.0.0.0 windows=10.0.19045 manifest_keys=0";
  const std::string settings = "settings time=400 download_url=http://x/ config_url=http://h/l.cfg ok=yes";
  const std::string check = "update_check installed=400 latest=500 releases=5 installed_listed=yes files=2";
  const Case cases[] = {
      {{start, settings, "request url=http://h/l.cfg attempt=1 status=200 length=10 received=10 ms=1", check,
        "file path=\\a.dll md5=ok patched=yes ms=1", "request url=http://h/b attempt=1 resumed_from=4 status=206 received=9",
        "install files=2 committed=yes", "result outcome=updated"},
       "from=400&to=500&outcome=updated&step=&error=&ms=6&files=2&bytes=15&patched=1"},
      {{start, settings, "no_response url=http://h/l.cfg error=12029 error_text=x", "result outcome=failed"},
       "from=400&to=&outcome=failed&step=manifest&error=12029&ms=2&files=0&bytes=0&patched=0"},
      {{start, settings, "request url=http://h/l.cfg status=200 received=5", "request url=http://h/l.cfg.sig status=404 failed=\"error status\"",
        "signature keys=1 failed=\"not fetched\"", "result outcome=failed"},
       "from=400&to=&outcome=failed&step=signature&error=404&ms=4&files=0&bytes=5&patched=0"},
      {{start, settings, check, "request url=http://h/g status=404 failed=\"error status\"",
        "regsvr32 file=a.dll unregister=yes error=193 failed=\"not a library\"", "file path=\\g failed=download",
        "restore file=a existed=yes action=\"backup moved back\" ok=yes", "result outcome=failed"},
       "from=400&to=500&outcome=failed&step=download&error=404&ms=6&files=2&bytes=0&patched=0"},
      {{start, settings, check, "file path=\\a md5=mismatch failed=digest", "restore file=a ok=no error=32",
        "result outcome=failed"},
       "from=400&to=500&outcome=failed&step=restore&error=32&ms=4&files=2&bytes=0&patched=0"},
      {{start, "settings time=500 ok=yes", "update_check installed=500 latest=500 failed=\"no release list\"",
        "result outcome=failed"},
       "from=500&to=500&outcome=current&step=&error=&ms=2&files=0&bytes=0&patched=0"},
      {{start, settings, check, "cancel worker=running", "file path=\\a failed=download", "cancel worker=ended"},
       "from=400&to=500&outcome=cancelled&step=&error=&ms=4&files=2&bytes=0&patched=0"},
      {{start, settings, check, "cancel worker=running", "cancel worker=ended", "result outcome=updated"},
       "from=400&to=500&outcome=updated&step=&error=&ms=4&files=2&bytes=0&patched=0"},
      {{start, "settings time= ok=no"}, "from=&to=&outcome=cancelled&step=&error=&ms=8&files=0&bytes=0&patched=0"},
      {{start, "settings time= ok=no", "result outcome=failed"},
       "from=&to=&outcome=failed&step=settings&error=&ms=1&files=0&bytes=0&patched=0"},
  };
  for (const Case& c : cases) {
    RunOutcome outcome;
    outcome.SetRunFound();
    uint64_t tick = 100;
    for (const std::string& event : c.events) outcome.Note(event, tick++);
    const std::vector<Report> reports = outcome.Reports(109);
    ASSERT_EQ(reports.size(), 1u) << c.query;
    EXPECT_EQ(QueryOf(reports[0]), std::string("v=1&") + c.query + "&os=10.0.19045&age=0");
  }
}

TEST(RunOutcome, APlayBackReportsOnItsOwnAndBeforeTheRun) {
  RunOutcome outcome;
  outcome.Note("start windows=6.1.7601", 0);
  outcome.Note("play_back journal_committed=no steps=2", 1);
  outcome.Note("restore file=a existed=yes failed=\"not recognised, backup kept\" error=32", 2);
  outcome.Note("recovery failed=\"kept for the next start\" ms=40", 3);
  std::vector<Report> reports = outcome.Reports(4);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(QueryOf(reports[0]), "v=1&from=&to=&outcome=failed&step=recovery&error=32&ms=40&files=0&bytes=0"
                                 "&patched=0&os=6.1.7601&age=0");
  outcome.SetRunFound();
  outcome.Note("settings time=400 ok=yes", 5);
  outcome.Note("result outcome=updated", 9);
  reports = outcome.Reports(10);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].from, "400");
  EXPECT_EQ(reports[1].outcome, Outcome::kUpdated);
  EXPECT_TRUE(RunOutcome().Reports(1).empty());
}
