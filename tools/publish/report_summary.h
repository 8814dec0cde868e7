#pragma once
// The outcome reports of many runs, summed per from -> to pair as they stream
// past. Memory depends on how many pairs, steps, codes, Windows versions and
// time buckets there are, never on how many reports: durations go into a
// histogram of buckets 5 % wide (its quantiles are within 2.5 % of the true
// ones), codes and versions into tables of bounded size, and the time series
// of the chart coarsens its buckets when it grows.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tools/publish/report_log.h"

namespace publish {

constexpr std::size_t kOutcomeCount = 4;
constexpr std::size_t kStepCount = 12;
// A table of codes or versions holds at most this many; the rest count as "other".
constexpr std::size_t kMaxDistinct = 64;
constexpr std::size_t kMaxPairs = 4096;

// Counts by name, at most kMaxDistinct names, then "other".
class BoundedCounts {
 public:
  void Add(const std::string& name);
  // The names by count, most first, ties by name.
  std::vector<std::pair<std::string, uint64_t>> Sorted() const;

 private:
  std::map<std::string, uint64_t> counts_;
};

// Durations in buckets 5 % wide.
class DurationHistogram {
 public:
  void Add(uint64_t ms);
  // The duration below which a share q (0..1) of the runs ended; 0 when empty.
  uint64_t Quantile(double q) const;

 private:
  std::vector<uint64_t> buckets_;
  uint64_t count_ = 0;
};

struct PairSummary {
  std::string from, to;
  uint64_t runs = 0;
  std::array<uint64_t, kOutcomeCount> outcomes{};  // by outcome_report::Outcome
  std::array<uint64_t, kStepCount> failedAt{};     // failed runs by step
  std::array<BoundedCounts, kStepCount> errors;    // their codes
  DurationHistogram durations;
  uint64_t bytes = 0, files = 0, patched = 0;
  BoundedCounts windows;
};

struct ReportTotals {
  uint64_t lines = 0, reports = 0, notReports = 0, malformed = 0, outsideRange = 0;
  int64_t first = 0, last = 0;  // times of the first and last report counted
};

class ReportSummary {
 public:
  // Counts one line; reports outside [since, until) count as outside the range.
  void Add(LogLine kind, const LogRecord& record, int64_t since, int64_t until);

  const ReportTotals& totals() const { return totals_; }
  // The pairs, by from then to (numerically).
  std::vector<const PairSummary*> Pairs() const;
  // Outcome counts per target release and time bucket; bucketSeconds() wide.
  const std::map<std::pair<std::string, int64_t>, std::array<uint64_t, kOutcomeCount>>& series() const {
    return series_;
  }
  int64_t bucketSeconds() const { return bucketSeconds_; }

 private:
  void AddToSeries(const std::string& to, int64_t time, std::size_t outcome);

  PairSummary& PairOf(const std::string& from, const std::string& to);

  ReportTotals totals_;
  std::unordered_map<std::string, PairSummary> pairs_;  // by from + '>' + to
  std::string key_;                                    // reused, so that a lookup allocates nothing
  std::map<std::pair<std::string, int64_t>, std::array<uint64_t, kOutcomeCount>> series_;
  int64_t bucketSeconds_ = 60;
  // The series' bucket of the last report: logs come in time order.
  std::array<uint64_t, kOutcomeCount>* lastBucket_ = nullptr;
  std::string lastTo_;
  int64_t lastStart_ = 0;
};

}  // namespace publish
