#include "updater/transfer/rva_map.h"

#include <algorithm>

namespace delta {

bool RvaMap::Sorted(std::vector<Entry>& side) {
  std::sort(side.begin(), side.end(), [](const Entry& a, const Entry& b) { return a.start < b.start; });
  uint64_t end = 0, total = 0;
  for (Entry& e : side) {
    if (e.length == 0 || e.start < end || uint64_t{e.start} + e.length > (uint64_t{1} << 32)) return false;
    end = uint64_t{e.start} + e.length;
    e.before = static_cast<uint32_t>(total);  // below 2^32: e itself is not counted
    total += e.length;
  }
  return true;
}

bool RvaMap::Assign(const std::vector<RvaSegment>& segments) {
  if (segments.size() > kMaxRvaSegments) return false;
  std::vector<Entry> byFrom, byTo;
  byFrom.reserve(segments.size());
  byTo.reserve(segments.size());
  for (const RvaSegment& s : segments) {
    byFrom.push_back({s.from, s.to, s.length, 0});
    byTo.push_back({s.to, s.from, s.length, 0});
  }
  if (!Sorted(byFrom) || !Sorted(byTo)) return false;
  byFrom_ = std::move(byFrom);
  byTo_ = std::move(byTo);
  return true;
}

uint32_t RvaMap::Map(const std::vector<Entry>& from, const std::vector<Entry>& to, uint32_t rva) {
  // The segments starting at or before rva; the last may hold it.
  auto after = std::upper_bound(from.begin(), from.end(), rva,
                                [](uint32_t value, const Entry& e) { return value < e.start; });
  uint64_t rank = rva;
  if (after != from.begin()) {
    const Entry& e = *(after - 1);
    if (rva - e.start < e.length) return e.other + (rva - e.start);
    rank -= uint64_t{e.before} + e.length;  // rva's place among the addresses no segment covers
  }
  // The uncovered address of that rank on the other side: past every segment
  // with fewer uncovered addresses before it.
  auto past = std::upper_bound(to.begin(), to.end(), rank, [](uint64_t value, const Entry& e) {
    return value < uint64_t{e.start} - e.before;
  });
  if (past == to.begin()) return static_cast<uint32_t>(rank);
  const Entry& last = *(past - 1);
  return static_cast<uint32_t>(rank + last.before + last.length);
}

}  // namespace delta
