#include "tools/publish/delta_encoder.h"

#include <divsufsort.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "updater/transfer/branch_targets.h"
#include "updater/transfer/delta_patch.h"

namespace delta {
namespace {

using Bytes = std::vector<unsigned char>;

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

// One zlib stream made as its bytes come, so the raw streams are never held
// whole.
class Deflater {
 public:
  Deflater() { ok_ = deflateInit(&z_, Z_BEST_COMPRESSION) == Z_OK; }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  ~Deflater() { deflateEnd(&z_); }

  void Put(unsigned char byte) {
    pending_[used_++] = byte;
    if (used_ == sizeof pending_) Drain(Z_NO_FLUSH);
  }
  void Put(const unsigned char* data, std::size_t size) {
    while (size > 0) {
      std::size_t n = std::min(size, sizeof pending_ - used_);
      std::memcpy(pending_ + used_, data, n);
      used_ += n;
      data += n;
      size -= n;
      if (used_ == sizeof pending_) Drain(Z_NO_FLUSH);
    }
  }
  // The whole stream, or false when zlib failed.
  bool Finish(Bytes& out) {
    Drain(Z_FINISH);
    out = std::move(out_);
    return ok_;
  }

 private:
  void Drain(int flush) {
    z_.next_in = pending_;
    z_.avail_in = static_cast<uInt>(used_);
    int rc = Z_OK;
    do {
      unsigned char chunk[1 << 16];
      z_.next_out = chunk;
      z_.avail_out = sizeof chunk;
      rc = deflate(&z_, flush);
      if (rc == Z_STREAM_ERROR) ok_ = false;
      out_.insert(out_.end(), chunk, chunk + (sizeof chunk - z_.avail_out));
    } while (ok_ && (z_.avail_in > 0 || (flush == Z_FINISH && rc != Z_STREAM_END)));
    used_ = 0;
  }

  z_stream z_{};
  bool ok_ = false;
  unsigned char pending_[1 << 16];
  std::size_t used_ = 0;
  Bytes out_;
};

void PutVarint(uint64_t value, Deflater& out) {
  while (value >= 0x80) {
    out.Put(static_cast<unsigned char>(value | 0x80));
    value >>= 7;
  }
  out.Put(static_cast<unsigned char>(value));
}

// Collects the instructions; records that make nothing are dropped. With runs
// (version 2) only the nonzero diff bytes go to the diff stream, and the
// lengths of the zero and nonzero runs to streams of their own: they differ
// too much in kind to share one deflate stream's codes.
class PatchStreams {
 public:
  PatchStreams(const Bytes& base, const Bytes& target, bool runs)
      : base_(base), target_(target), runs_(runs) {}

  // Target bytes [targetPos, targetPos + add) from base bytes at basePos plus
  // differences, then the next extra target bytes as they are.
  void Emit(int64_t targetPos, int64_t basePos, int64_t add, int64_t extra) {
    if (add == 0 && extra == 0) return;
    if (add == 0) basePos = cursor_;  // nothing read: the position need not move
    int64_t seek = basePos - cursor_;
    PutVarint(seek >= 0 ? static_cast<uint64_t>(seek) << 1 : (static_cast<uint64_t>(-(seek + 1)) << 1) | 1,
              control_);
    PutVarint(static_cast<uint64_t>(add), control_);
    PutVarint(static_cast<uint64_t>(extra), control_);
    for (int64_t i = 0; i < add; ++i) {
      const unsigned char d = static_cast<unsigned char>(target_[targetPos + i] - base_[basePos + i]);
      if (runs_) {
        if (d == 0) {
          if (nonzero_ > 0) EndRuns();
          ++zeros_;
          continue;
        }
        ++nonzero_;
      }
      diff_.Put(d);
    }
    extra_.Put(target_.data() + targetPos + add, static_cast<std::size_t>(extra));
    cursor_ = basePos + add;
  }

  // The streams in the patch's order: control, diff, extra, then (version 2)
  // zero runs and nonzero runs.
  bool Finish(Bytes (&out)[5]) {
    if (zeros_ > 0 || nonzero_ > 0) EndRuns();
    return control_.Finish(out[0]) && diff_.Finish(out[1]) && extra_.Finish(out[2]) &&
           zeroRuns_.Finish(out[3]) && byteRuns_.Finish(out[4]);
  }

 private:
  void EndRuns() {
    PutVarint(zeros_, zeroRuns_);
    PutVarint(nonzero_, byteRuns_);
    zeros_ = nonzero_ = 0;
  }

  const Bytes& base_;
  const Bytes& target_;
  const bool runs_;
  Deflater control_, diff_, extra_, zeroRuns_, byteRuns_;
  int64_t cursor_ = 0;
  uint64_t zeros_ = 0, nonzero_ = 0;  // of the runs not yet written
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
               const Bytes (&streams)[5]) {
  PatchHeader header;
  header.version = version;
  header.flags = flags;
  header.baseLength = base.size();
  header.targetLength = target.size();
  header.controlLength = streams[0].size();
  header.diffLength = streams[1].size();
  header.extraLength = streams[2].size();
  const int count = version >= 2 ? 5 : 3;
  if (version >= 2) {
    header.zeroRunsLength = streams[3].size();
    header.byteRunsLength = streams[4].size();
  }
  Bytes patch(PatchHeaderSize(version), 0);
  WritePatchHeader(header, patch.data());
  for (int i = 0; i < count; ++i) patch.insert(patch.end(), streams[i].begin(), streams[i].end());
  return patch;
}

// One patch of the given form: base suffix-sorted once (its index freed on
// return), target walked once per margin, streams deflated as they come; the
// smallest is kept. A smaller margin than the classic 8 cuts more stretches
// short and sends more to the extra stream, which pays in some programs and
// not in others, so both are tried.
bool MakeOnePatch(const Bytes& base, const Bytes& target, unsigned char version, unsigned char flags,
                  const PatchProgress& progress, Bytes& patch) {
  if (progress) progress(PatchStage::kSorting, 0);
  SuffixIndex index(base);
  if (!index.Build()) return false;
  patch.clear();
  for (int64_t margin : {8, 4}) {
    Bytes streams[5];
    PatchStreams made(base, target, version >= 2);
    FindInstructions(base, target, index, margin, made, progress);
    if (!made.Finish(streams)) return false;
    Bytes candidate = Assemble(base, target, version, flags, streams);
    if (patch.empty() || candidate.size() < patch.size()) patch = std::move(candidate);
  }
  return true;
}

}  // namespace

bool MakePatchInPlace(Bytes& base, Bytes& target, Bytes& patch, const PatchProgress& progress,
                      unsigned char version) {
  if (base.size() >= static_cast<std::size_t>(std::numeric_limits<saidx_t>::max())) return false;
  if (version < 1 || version > kPatchVersion) return false;
  if (!MakeOnePatch(base, target, version, 0, progress, patch)) return false;
  if (version < 2 || !LooksLikeX86Code(target.data(), target.size())) return true;
  // Machine code: try again with the branch targets made absolute, and keep
  // the smaller. The buffers are changed in place and put back, so no copy.
  EncodeBranchTargets(base.data(), base.size(), 0, base.size());
  EncodeBranchTargets(target.data(), target.size(), 0, target.size());
  Bytes transformed;
  const bool made = MakeOnePatch(base, target, version, kPatchFlagBranchTargets, progress, transformed);
  DecodeBranchTargets(base.data(), base.size(), 0, base.size());
  DecodeBranchTargets(target.data(), target.size(), 0, target.size());
  if (made && transformed.size() < patch.size()) patch = std::move(transformed);
  return true;
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
