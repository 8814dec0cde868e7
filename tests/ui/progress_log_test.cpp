#include "updater/ui/progress_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One appended report: 'B' boundary (a stage of path), 'S' step, 'D' bytes.
struct Report {
  char what;
  const char* path;
  int32_t value;
};

// An entry as text: "stage <path> <value>", "chunks <steps> [<path> <bytes>]".
std::vector<std::string> Describe(const std::vector<ProgressEntry>& entries) {
  std::vector<std::string> out;
  for (const ProgressEntry& e : entries) {
    if (e.kind == ProgressEntry::Kind::Stage) {
      out.push_back("stage " + e.path + " " + std::to_string(e.value));
    } else {
      std::string text = "chunks " + std::to_string(e.steps);
      if (e.hasBytes) text += " " + e.path + " " + std::to_string(e.value);
      out.push_back(text);
    }
  }
  return out;
}

TEST(ProgressLog, ChunkReportsMergeBetweenBoundariesAndKeepTheirOrder) {
  struct Case {
    const char* name;
    std::vector<Report> reports;
    std::vector<std::string> taken;
  };
  const Case cases[] = {
      {"a whole download",
       {{'B', "a", 30},
        {'S', "", 0},
        {'D', "a", 10},
        {'S', "", 0},
        {'D', "a", 20},
        {'S', "", 0},
        {'D', "a", 30},
        {'B', "a", 31}},
       {"stage a 30", "chunks 3 a 30", "stage a 31"}},
      {"steps alone", {{'S', "", 0}, {'S', "", 0}}, {"chunks 2"}},
      {"bytes of another file start an entry",
       {{'S', "", 0}, {'D', "a", 5}, {'S', "", 0}, {'D', "b", 7}, {'D', "b", 9}},
       {"chunks 2 a 5", "chunks 0 b 9"}},
      {"a boundary closes the chunks before it",
       {{'S', "", 0}, {'B', "a", 1}, {'S', "", 0}},
       {"chunks 1", "stage a 1", "chunks 1"}},
      {"nothing", {}, {}},
  };
  for (const Case& c : cases) {
    ProgressLog log;
    for (const Report& r : c.reports) {
      if (r.what == 'B') {
        ProgressEntry entry(ProgressEntry::Kind::Stage);
        entry.path = r.path;
        entry.value = r.value;
        log.AppendBoundary(std::move(entry));
      } else if (r.what == 'S') {
        log.AppendStep();
      } else {
        log.AppendBytes(r.path, r.value);
      }
    }
    EXPECT_EQ(Describe(log.Take()), c.taken) << c.name;
    EXPECT_TRUE(log.Take().empty()) << c.name;
  }
}

TEST(ProgressLog, OneWakeUpUntilTheDialogTakesTheLog) {
  ProgressLog log;
  const auto boundary = [] { return ProgressEntry(ProgressEntry::Kind::SetStep); };
  log.AppendStep();  // chunks never ask for a wake-up
  EXPECT_TRUE(log.AppendBoundary(boundary()));
  EXPECT_FALSE(log.AppendBoundary(boundary()));
  EXPECT_EQ(log.Take().size(), 3u);
  EXPECT_TRUE(log.AppendBoundary(boundary()));
}

}  // namespace
