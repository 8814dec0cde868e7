#include "tools/publish/program_map.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>

namespace delta {
namespace {

// Where file offset lies: its RVA and how many bytes the region it is in
// goes on, or (mapped false) how far the next region is.
struct Region {
  bool mapped = false;
  uint32_t rva = 0;
  uint64_t span = 0;
};

Region RegionAt(const PeSections& pe, uint64_t offset) {
  if (offset < pe.headersSize) return {true, static_cast<uint32_t>(offset), pe.headersSize - offset};
  uint64_t next = UINT64_MAX;
  for (const PeSection& s : pe.sections) {
    const uint64_t size = PeMappedSize(s);
    if (offset >= s.rawOffset && offset - s.rawOffset < size) {
      return {true, static_cast<uint32_t>(s.virtualAddress + (offset - s.rawOffset)),
              s.rawOffset + size - offset};
    }
    if (s.rawOffset > offset && size > 0) next = std::min<uint64_t>(next, s.rawOffset);
  }
  return {false, 0, next - offset};
}

void AddStretch(const AlignedStretch& a, const PeSections& base, const PeSections& target,
                std::vector<RvaSegment>& out) {
  uint64_t t = static_cast<uint64_t>(a.target), b = static_cast<uint64_t>(a.base);
  for (uint64_t left = static_cast<uint64_t>(a.length); left > 0;) {
    const Region rt = RegionAt(target, t), rb = RegionAt(base, b);
    const uint64_t step = std::min({left, rt.span, rb.span});
    if (rt.mapped && rb.mapped && uint64_t{rt.rva} + step <= (uint64_t{1} << 32) &&
        uint64_t{rb.rva} + step <= (uint64_t{1} << 32)) {
      out.push_back({rt.rva, rb.rva, static_cast<uint32_t>(step)});
    }
    t += step;
    b += step;
    left -= step;
  }
}

using Taken = std::map<uint64_t, uint64_t>;  // start -> end, disjoint

bool Free(const Taken& taken, uint64_t start, uint64_t end) {
  auto next = taken.lower_bound(start);
  if (next != taken.end() && next->first < end) return false;
  return next == taken.begin() || std::prev(next)->second <= start;
}

// Too short to say where anything moved: mostly chance matches.
constexpr uint32_t kShortestStretch = 8;

// Longest first, each kept only where no kept one holds its old addresses
// (the new sides are disjoint already: the alignment walks the target once).
std::vector<RvaSegment> Disjoint(std::vector<RvaSegment> all, Taken& oldTaken) {
  std::stable_sort(all.begin(), all.end(),
                   [](const RvaSegment& a, const RvaSegment& b) { return a.length > b.length; });
  Taken newTaken;
  std::vector<RvaSegment> kept;
  for (const RvaSegment& s : all) {
    if (s.length < kShortestStretch || !Free(oldTaken, s.to, uint64_t{s.to} + s.length) ||
        !Free(newTaken, s.from, uint64_t{s.from} + s.length)) {
      continue;
    }
    oldTaken[s.to] = uint64_t{s.to} + s.length;
    newTaken[s.from] = uint64_t{s.from} + s.length;
    kept.push_back(s);
  }
  std::sort(kept.begin(), kept.end(),
            [](const RvaSegment& a, const RvaSegment& b) { return a.from < b.from; });
  return kept;
}

// Adds [from, from + length) at shift where the old side is free, in pieces.
void FillFree(uint64_t from, uint64_t length, int64_t shift, Taken& oldTaken, std::vector<RvaSegment>& out) {
  const int64_t start = static_cast<int64_t>(from) + shift;
  if (start < 0 || start + static_cast<int64_t>(length) > (int64_t{1} << 32)) return;
  uint64_t at = static_cast<uint64_t>(start), end = at + length;
  auto next = oldTaken.upper_bound(at);
  if (next != oldTaken.begin() && std::prev(next)->second > at) at = std::prev(next)->second;
  while (at < end) {
    const uint64_t stop = next == oldTaken.end() ? end : std::min(end, next->first);
    if (stop > at) {
      out.push_back(
          {static_cast<uint32_t>(at - shift), static_cast<uint32_t>(at), static_cast<uint32_t>(stop - at)});
      oldTaken[at] = stop;
    }
    if (next == oldTaken.end() || next->second >= end) break;
    at = next->second;
    ++next;
  }
}

// The parts of each new section that no stretch maps go where the stretch
// before them in the section would put them (data between matched code moved
// with it), or at the same offset in the old section of the same name.
void FillGaps(std::vector<RvaSegment>& segments, const PeSections& base, const PeSections& target,
              Taken& oldTaken) {
  std::vector<RvaSegment> added;
  for (const PeSection& n : target.sections) {
    const uint64_t start = n.virtualAddress, end = start + std::max(n.virtualSize, PeMappedSize(n));
    int64_t shift = 0;
    bool known = false;
    for (const PeSection& o : base.sections) {
      if (std::memcmp(n.name, o.name, sizeof n.name) == 0) {
        shift = int64_t{o.virtualAddress} - int64_t{n.virtualAddress};
        known = true;
        break;
      }
    }
    auto s = std::lower_bound(segments.begin(), segments.end(), start, [](const RvaSegment& seg, uint64_t v) {
      return seg.from + uint64_t{seg.length} <= v;
    });
    for (uint64_t at = start; at < end;) {
      const uint64_t gapEnd = s == segments.end() ? end : std::min<uint64_t>(end, s->from);
      if (gapEnd > at && known) FillFree(at, gapEnd - at, shift, oldTaken, added);
      if (s == segments.end() || s->from >= end) break;
      shift = int64_t{s->to} - int64_t{s->from};
      known = true;
      at = uint64_t{s->from} + s->length;
      ++s;
    }
  }
  segments.insert(segments.end(), added.begin(), added.end());
}

// Neighbours (in new order) with one shift and next to each other in old
// order too become one segment that also covers the gap between them.
std::vector<RvaSegment> Joined(std::vector<RvaSegment> segments) {
  std::vector<std::size_t> byOld(segments.size());
  for (std::size_t i = 0; i < byOld.size(); ++i) byOld[i] = i;
  std::sort(byOld.begin(), byOld.end(),
            [&](std::size_t a, std::size_t b) { return segments[a].to < segments[b].to; });
  std::vector<std::size_t> oldRank(segments.size());
  for (std::size_t r = 0; r < byOld.size(); ++r) oldRank[byOld[r]] = r;
  std::vector<std::size_t> byNew = byOld;
  std::sort(byNew.begin(), byNew.end(),
            [&](std::size_t a, std::size_t b) { return segments[a].from < segments[b].from; });
  std::vector<RvaSegment> out;
  std::size_t lastRank = 0;
  for (std::size_t i : byNew) {
    const RvaSegment& s = segments[i];
    if (!out.empty()) {
      RvaSegment& prev = out.back();
      const bool sameShift = s.to - prev.to == s.from - prev.from && s.to > prev.to;
      if (sameShift && oldRank[i] == lastRank + 1) {
        prev.length = s.from + s.length - prev.from;
        lastRank = oldRank[i];
        continue;
      }
    }
    out.push_back(s);
    lastRank = oldRank[i];
  }
  return out;
}

}  // namespace

std::vector<RvaSegment> ProgramMapFromAlignment(const std::vector<AlignedStretch>& alignment,
                                                const PeSections& base, const PeSections& target) {
  std::vector<RvaSegment> all;
  for (const AlignedStretch& a : alignment) AddStretch(a, base, target, all);
  Taken oldTaken;
  std::vector<RvaSegment> segments = Disjoint(std::move(all), oldTaken);
  FillGaps(segments, base, target, oldTaken);
  segments = Joined(std::move(segments));
  if (segments.size() > kMaxRvaSegments) {
    // Keep the longest: the rest map in order between them.
    std::sort(segments.begin(), segments.end(),
              [](const RvaSegment& a, const RvaSegment& b) { return a.length > b.length; });
    segments.resize(kMaxRvaSegments);
  }
  std::sort(segments.begin(), segments.end(),
            [](const RvaSegment& a, const RvaSegment& b) { return a.from < b.from; });
  return segments;
}

bool DeflateProgramMap(const std::vector<RvaSegment>& segments, Bytes& out) {
  Deflater stream;
  uint64_t end = 0;
  int64_t shift = 0;
  for (const RvaSegment& s : segments) {
    const int64_t next = int64_t{s.to} - int64_t{s.from}, change = next - shift;
    PutVarint(s.from - end, stream);
    PutVarint(
        change >= 0 ? static_cast<uint64_t>(change) << 1 : (static_cast<uint64_t>(-(change + 1)) << 1) | 1,
        stream);
    PutVarint(s.length, stream);
    end = uint64_t{s.from} + s.length;
    shift = next;
  }
  return stream.Finish(out);
}

}  // namespace delta
