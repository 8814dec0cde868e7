#include "tools/publish/delta_encoder.h"

#include <divsufsort.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "tools/publish/patch_streams.h"
#include "tools/publish/program_map.h"
#include "updater/transfer/branch_targets.h"
#include "updater/transfer/delta_patch.h"
#include "updater/transfer/pe_sections.h"
#include "updater/transfer/program_refs.h"
#include "updater/transfer/rva_map.h"

namespace delta {
namespace {

struct Match {
  int64_t pos = 0;
  int64_t length = 0;
};

// Longest common prefix search over the base's suffix array.
class SuffixIndex {
 public:
  SuffixIndex(const Bytes& base) : base_(base), order_(base.size()) {}

  bool Build() {
    if (base_.empty()) return true;
    return divsufsort(base_.data(), order_.data(), static_cast<saidx_t>(base_.size())) == 0;
  }

  Match Longest(const unsigned char* text, int64_t size) const {
    Match best;
    int64_t count = static_cast<int64_t>(order_.size());
    if (count == 0 || size == 0) return best;
    // Invariant: suffix order_[lo] sorts before text, order_[hi] after it (or
    // the ends); each side's common prefix with text is known, so a compare
    // starts past the shorter of the two.
    int64_t lo = -1, hi = count, lcpLo = 0, lcpHi = 0;
    while (hi - lo > 1) {
      int64_t mid = lo + (hi - lo) / 2;
      int64_t start = std::min(lcpLo, lcpHi);
      int64_t common = CommonPrefix(order_[mid], text, size, start);
      int64_t suffixSize = static_cast<int64_t>(base_.size()) - order_[mid];
      bool suffixBefore = common == size         ? false
                          : common == suffixSize ? true
                                                 : base_[order_[mid] + common] < text[common];
      if (common > best.length) best = {order_[mid], common};
      if (common == size) break;
      if (suffixBefore) {
        lo = mid;
        lcpLo = common;
      } else {
        hi = mid;
        lcpHi = common;
      }
    }
    return best;
  }

 private:
  int64_t CommonPrefix(int64_t basePos, const unsigned char* text, int64_t size, int64_t start) const {
    int64_t limit = std::min<int64_t>(size, static_cast<int64_t>(base_.size()) - basePos);
    const unsigned char* b = base_.data() + basePos;
    int64_t i = start;
    while (i < limit && b[i] == text[i]) ++i;
    return i;
  }

  const Bytes& base_;
  std::vector<saidx_t> order_;
};

// How far a stretch aligned at (targetPos, basePos) pays forward: the length
// where matches outnumber mismatches by the most.
int64_t ExtendForward(const Bytes& base, const Bytes& target, int64_t targetPos, int64_t basePos,
                      int64_t targetEnd) {
  int64_t matches = 0, bestScore = 0, bestLength = 0;
  int64_t baseSize = static_cast<int64_t>(base.size());
  for (int64_t i = 0; targetPos + i < targetEnd && basePos + i < baseSize;) {
    if (base[basePos + i] == target[targetPos + i]) ++matches;
    ++i;
    if (matches * 2 - i > bestScore * 2 - bestLength) {
      bestScore = matches;
      bestLength = i;
    }
  }
  return bestLength;
}

// The same backwards from a match at (targetPos, basePos), not before targetStart.
int64_t ExtendBackward(const Bytes& base, const Bytes& target, int64_t targetPos, int64_t basePos,
                       int64_t targetStart) {
  int64_t matches = 0, bestScore = 0, bestLength = 0;
  for (int64_t i = 1; targetPos - i >= targetStart && basePos - i >= 0; ++i) {
    if (base[basePos - i] == target[targetPos - i]) ++matches;
    if (matches * 2 - i > bestScore * 2 - bestLength) {
      bestScore = matches;
      bestLength = i;
    }
  }
  return bestLength;
}

// margin: how many bytes a new match must beat the previous alignment by.
void FindInstructions(const Bytes& base, const Bytes& target, const SuffixIndex& index, int64_t margin,
                      PatchStreams& streams, const PatchProgress& progress) {
  const int64_t baseSize = static_cast<int64_t>(base.size());
  const int64_t targetSize = static_cast<int64_t>(target.size());
  auto sameAtOffset = [&](int64_t t, int64_t offset) {
    return t + offset >= 0 && t + offset < baseSize && base[t + offset] == target[t];
  };

  int64_t scan = 0, lastScan = 0, lastPos = 0, lastOffset = 0;
  Match match;
  int64_t reported = 0;
  const int64_t step = std::max<int64_t>(targetSize / 100, 1 << 20);
  while (scan < targetSize) {
    if (progress && scan - reported >= step) {
      reported = scan;
      progress(PatchStage::kMatching, static_cast<double>(scan) / static_cast<double>(targetSize));
    }
    // Walk on until a match is found that beats simply carrying on with the
    // previous alignment (lastOffset) by a clear margin.
    int64_t oldScore = 0;
    scan += match.length;
    int64_t scored = scan;
    for (; scan < targetSize; ++scan) {
      match = index.Longest(target.data() + scan, targetSize - scan);
      for (; scored < scan + match.length; ++scored) {
        if (sameAtOffset(scored, lastOffset)) ++oldScore;
      }
      if ((match.length == oldScore && match.length != 0) || match.length > oldScore + margin) break;
      if (sameAtOffset(scan, lastOffset)) --oldScore;
    }
    if (match.length == oldScore && scan != targetSize) continue;

    int64_t forward = ExtendForward(base, target, lastScan, lastPos, scan);
    int64_t backward = scan < targetSize ? ExtendBackward(base, target, scan, match.pos, lastScan) : 0;
    if (lastScan + forward > scan - backward) {
      // The two stretches overlap: split where the forward one stops paying.
      int64_t overlap = lastScan + forward - (scan - backward);
      int64_t score = 0, bestScore = 0, split = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        if (target[lastScan + forward - overlap + i] == base[lastPos + forward - overlap + i]) ++score;
        if (target[scan - backward + i] == base[match.pos - backward + i]) --score;
        if (score > bestScore) {
          bestScore = score;
          split = i + 1;
        }
      }
      forward += split - overlap;
      backward -= split;
    }
    streams.Emit(lastScan, lastPos, forward, (scan - backward) - (lastScan + forward));
    lastScan = scan - backward;
    lastPos = match.pos - backward;
    lastOffset = match.pos - scan;
  }
}

// The patch's bytes from its header and streams.
Bytes Assemble(const Bytes& base, const Bytes& target, unsigned char version, unsigned char flags,
               const Bytes (&streams)[6]) {
  PatchHeader header;
  header.version = version;
  header.flags = flags;
  header.baseLength = base.size();
  header.targetLength = target.size();
  header.controlLength = streams[0].size();
  header.diffLength = streams[1].size();
  header.extraLength = streams[2].size();
  const int count = version >= 3 ? 6 : version == 2 ? 5 : 3;
  if (version >= 2) {
    header.zeroRunsLength = streams[3].size();
    header.byteRunsLength = streams[4].size();
  }
  if (version >= 3) header.programMapLength = streams[5].size();
  Bytes patch(PatchHeaderSize(version), 0);
  WritePatchHeader(header, patch.data());
  for (int i = 0; i < count; ++i) patch.insert(patch.end(), streams[i].begin(), streams[i].end());
  return patch;
}

// A patch of one form, and the alignment that made it.
struct Candidate {
  Bytes patch;
  std::vector<AlignedStretch> alignment;
};

// One patch of the given form over an index of the base: the target walked
// once per margin, streams deflated as they come; the smallest is kept. A
// smaller margin than the classic 8 cuts more stretches short and sends more
// to the extra stream, which pays in some programs and not in others, so both
// are tried, and a larger one for builds far apart, where fewer and longer
// stretches save more instructions than they cost in extra bytes. programMap: the deflated map stream of
// version 3.
bool MakeOnePatch(const Bytes& base, const Bytes& target, const SuffixIndex& index, unsigned char version,
                  unsigned char flags, const Bytes& programMap, const PatchProgress& progress,
                  Candidate& best) {
  best.patch.clear();
  for (int64_t margin : {8, 4, 16}) {
    Bytes streams[6];
    Candidate made;
    PatchStreams walked(base, target, version >= 2, &made.alignment);
    FindInstructions(base, target, index, margin, walked, progress);
    if (!walked.Finish(streams)) return false;
    streams[5] = programMap;
    made.patch = Assemble(base, target, version, flags, streams);
    if (best.patch.empty() || made.patch.size() < best.patch.size()) best = std::move(made);
  }
  return true;
}

bool IndexBase(const PatchProgress& progress, SuffixIndex& index) {
  if (progress) progress(PatchStage::kSorting, 0);
  return index.Build();
}

// Machine code: the branch targets made absolute in both files, in place, and
// put back after.
bool TryBranchTargets(Bytes& base, Bytes& target, const PatchProgress& progress, Bytes& patch) {
  if (!LooksLikeX86Code(target.data(), target.size())) return true;
  EncodeBranchTargets(base.data(), base.size(), 0, base.size());
  EncodeBranchTargets(target.data(), target.size(), 0, target.size());
  Candidate transformed;
  bool made;
  {
    SuffixIndex index(base);
    made = IndexBase(progress, index) &&
           MakeOnePatch(base, target, index, 2, kPatchFlagBranchTargets, {}, progress, transformed);
  }
  DecodeBranchTargets(base.data(), base.size(), 0, base.size());
  DecodeBranchTargets(target.data(), target.size(), 0, target.size());
  if (made && transformed.patch.size() < patch.size()) patch = std::move(transformed.patch);
  return made;
}

// x64 programs: the target's references rewritten through an address map
// made from the last alignment, over the plain base, in rounds: each round's
// alignment sees more of the code matched and gives a better map. The target
// is put back after each round.
constexpr int kProgramRounds = 2;

bool TryProgram(const Bytes& base, Bytes& target, const SuffixIndex& index,
                std::vector<AlignedStretch> alignment, const PatchProgress& progress, Bytes& patch) {
  PeSections basePe, targetPe;
  if (!ReadPeSections(base.data(), base.size(), basePe) ||
      !ReadPeSections(target.data(), target.size(), targetPe))
    return true;
  for (int round = 0; round < kProgramRounds; ++round) {
    const std::vector<RvaSegment> segments = ProgramMapFromAlignment(alignment, basePe, targetPe);
    RvaMap map;
    Bytes mapStream;
    if (!map.Assign(segments) || !DeflateProgramMap(segments, mapStream)) return false;
    TransformProgram(target.data(), target.size(), targetPe, map, ProgramDirection::kEncode);
    Candidate made;
    const bool ok = MakeOnePatch(base, target, index, 3, kPatchFlagX64Program, mapStream, progress, made);
    TransformProgram(target.data(), target.size(), targetPe, map, ProgramDirection::kDecode);
    if (!ok) return false;
    if (made.patch.size() < patch.size()) patch = made.patch;
    alignment = std::move(made.alignment);
  }
  return true;
}

}  // namespace

bool MakePatchInPlace(Bytes& base, Bytes& target, Bytes& patch, const PatchProgress& progress,
                      unsigned char version) {
  if (base.size() >= static_cast<std::size_t>(std::numeric_limits<saidx_t>::max())) return false;
  if (version < 1 || version > kPatchVersion) return false;
  // Version 2 where version 3 adds nothing, so that older updaters apply it.
  Candidate plain;
  {
    SuffixIndex index(base);
    if (!IndexBase(progress, index) ||
        !MakeOnePatch(base, target, index, std::min<unsigned char>(version, 2), 0, {}, progress, plain)) {
      return false;
    }
    patch = plain.patch;
    if (version >= 3 && !TryProgram(base, target, index, std::move(plain.alignment), progress, patch))
      return false;
  }
  return version < 2 || TryBranchTargets(base, target, progress, patch);
}

bool MakePatch(const Bytes& base, const Bytes& target, Bytes& patch, unsigned char version) {
  Bytes baseCopy = base, targetCopy = target;
  return MakePatchInPlace(baseCopy, targetCopy, patch, {}, version);
}

bool PatchMakesTarget(const Bytes& patch, const Bytes& base, const Bytes& target) {
  std::size_t made = 0;
  bool same = true;
  PatchStatus status = ApplyPatch({patch.data(), patch.size()}, {base.data(), base.size()},
                                  [&](const unsigned char* data, std::size_t size) {
                                    same = same && size <= target.size() - made &&
                                           std::memcmp(data, target.data() + made, size) == 0;
                                    made += size;
                                    return same;
                                  });
  return status == PatchStatus::kApplied && made == target.size();
}

}  // namespace delta
