#pragma once
// A one-to-one map of the 32-bit address space onto itself that carries the
// addresses (RVAs) of one build of a program to where the same code or data
// sat in an earlier build. It is given as segments, each a stretch of the new
// build matched to one of the old, disjoint on either side; every address
// outside them goes, in order, to the addresses of the old side that no
// segment covers. So any address maps, and back, whatever the segments.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace delta {

struct RvaSegment {
  uint32_t from = 0;    // start in the new build
  uint32_t to = 0;      // start in the old build
  uint32_t length = 0;  // at least 1; neither side passes 2^32
};

// Bounds what a patch may make the updater hold: 32 bytes a segment.
constexpr std::size_t kMaxRvaSegments = 1 << 16;

class RvaMap {
 public:
  // False (and the map unchanged) when a segment is empty, passes 2^32 or
  // overlaps another on either side, or there are too many.
  bool Assign(const std::vector<RvaSegment>& segments);

  bool Empty() const { return byFrom_.empty(); }
  uint32_t Forward(uint32_t rva) const { return Map(byFrom_, byTo_, rva); }   // new to old
  uint32_t Backward(uint32_t rva) const { return Map(byTo_, byFrom_, rva); }  // old to new

 private:
  // One side's segments in its own order, with the total length before each.
  struct Entry {
    uint32_t start = 0;
    uint32_t other = 0;
    uint32_t length = 0;
    uint32_t before = 0;
  };
  static bool Sorted(std::vector<Entry>& side);
  static uint32_t Map(const std::vector<Entry>& from, const std::vector<Entry>& to, uint32_t rva);

  std::vector<Entry> byFrom_, byTo_;
};

}  // namespace delta
