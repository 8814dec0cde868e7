#include "tools/publish/report_summary.h"

#include <algorithm>
#include <cmath>

namespace publish {
namespace {

constexpr double kBucketRatio = 1.05;
constexpr std::size_t kMaxSeriesBuckets = 4096;
const char kOther[] = "other";

std::size_t BucketOf(uint64_t ms) {
  return ms == 0 ? 0 : 1 + static_cast<std::size_t>(std::log(static_cast<double>(ms)) / std::log(kBucketRatio));
}

// The middle of a bucket (geometric), what its quantile reads as: within 2.5 %.
uint64_t BucketMiddle(std::size_t bucket) {
  return bucket == 0 ? 0 : static_cast<uint64_t>(std::pow(kBucketRatio, static_cast<double>(bucket) - 0.5));
}

// Versions compare as numbers: "99" before "100", the empty text first.
bool VersionLess(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

}  // namespace

void BoundedCounts::Add(const std::string& name) {
  auto found = counts_.find(name);
  if (found != counts_.end()) {
    ++found->second;
  } else if (counts_.size() < kMaxDistinct) {
    counts_.emplace(name, 1);
  } else {
    ++counts_[kOther];
  }
}

std::vector<std::pair<std::string, uint64_t>> BoundedCounts::Sorted() const {
  std::vector<std::pair<std::string, uint64_t>> sorted(counts_.begin(), counts_.end());
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  return sorted;
}

void DurationHistogram::Add(uint64_t ms) {
  const std::size_t bucket = BucketOf(ms);
  if (bucket >= buckets_.size()) buckets_.resize(bucket + 1);
  ++buckets_[bucket];
  ++count_;
}

uint64_t DurationHistogram::Quantile(double q) const {
  if (count_ == 0) return 0;
  const uint64_t rank = static_cast<uint64_t>(std::ceil(q * static_cast<double>(count_)));
  uint64_t seen = 0;
  for (std::size_t i = 0; i < buckets_.size(); ++i) {
    seen += buckets_[i];
    if (seen >= std::max<uint64_t>(rank, 1)) return BucketMiddle(i);
  }
  return BucketMiddle(buckets_.size() - 1);
}

void ReportSummary::Add(LogLine kind, const LogRecord& record, int64_t since, int64_t until) {
  ++totals_.lines;
  if (kind == LogLine::kOther) {
    ++totals_.notReports;
    return;
  }
  if (kind == LogLine::kMalformed) {
    ++totals_.malformed;
    return;
  }
  if (record.time < since || record.time >= until) {
    ++totals_.outsideRange;
    return;
  }
  const outcome_report::Report& r = record.report;
  if (totals_.reports == 0 || record.time < totals_.first) totals_.first = record.time;
  if (totals_.reports == 0 || record.time > totals_.last) totals_.last = record.time;
  ++totals_.reports;
  PairSummary& pair = PairOf(r.from, r.to);
  const std::size_t outcome = static_cast<std::size_t>(r.outcome);
  ++pair.runs;
  ++pair.outcomes[outcome];
  if (r.outcome == outcome_report::Outcome::kFailed) {
    const std::size_t step = static_cast<std::size_t>(r.step);
    ++pair.failedAt[step];
    pair.errors[step].Add(r.error.empty() ? "none" : r.error);
  }
  pair.durations.Add(r.ms);
  pair.bytes += r.bytes;
  pair.files += r.files;
  pair.patched += r.patched;
  pair.windows.Add(r.os.empty() ? "unknown" : r.os);
  AddToSeries(r.to, record.time - static_cast<int64_t>(r.age), outcome);
}

PairSummary& ReportSummary::PairOf(const std::string& from, const std::string& to) {
  key_.assign(from).append(1, '>').append(to);
  auto found = pairs_.find(key_);
  if (found != pairs_.end()) return found->second;
  // A hostile log could name pairs without end; past the bound they count as one.
  const bool other = pairs_.size() >= kMaxPairs;
  if (other) key_ = std::string(kOther) + ">" + kOther;
  auto [entry, added] = pairs_.try_emplace(key_);
  if (added) {
    entry->second.from = other ? kOther : from;
    entry->second.to = other ? kOther : to;
  }
  return entry->second;
}

void ReportSummary::AddToSeries(const std::string& to, int64_t time, std::size_t outcome) {
  const int64_t bucket = time >= 0 ? time / bucketSeconds_ : (time - bucketSeconds_ + 1) / bucketSeconds_;
  const int64_t start = bucket * bucketSeconds_;
  if (lastBucket_ == nullptr || start != lastStart_ || to != lastTo_) {
    lastBucket_ = &series_[{to, start}];
    lastTo_ = to;
    lastStart_ = start;
  }
  ++(*lastBucket_)[outcome];
  if (series_.size() <= kMaxSeriesBuckets) return;
  lastBucket_ = nullptr;
  // Too many buckets: four times as wide, merged.
  bucketSeconds_ *= 4;
  std::map<std::pair<std::string, int64_t>, std::array<uint64_t, kOutcomeCount>> merged;
  for (const auto& [key, counts] : series_) {
    const int64_t start = key.second >= 0 ? key.second / bucketSeconds_ : (key.second - bucketSeconds_ + 1) / bucketSeconds_;
    auto& into = merged[{key.first, start * bucketSeconds_}];
    for (std::size_t i = 0; i < kOutcomeCount; ++i) into[i] += counts[i];
  }
  series_.swap(merged);
}

std::vector<const PairSummary*> ReportSummary::Pairs() const {
  std::vector<const PairSummary*> pairs;
  for (const auto& entry : pairs_) pairs.push_back(&entry.second);
  std::sort(pairs.begin(), pairs.end(), [](const PairSummary* a, const PairSummary* b) {
    if (a->from != b->from) return VersionLess(a->from, b->from);
    return VersionLess(a->to, b->to);
  });
  return pairs;
}

}  // namespace publish
