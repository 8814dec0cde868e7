#pragma once
// The streams of a patch as the encoder makes them: each deflated as its
// bytes come, so the raw streams are never held whole.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace delta {

using Bytes = std::vector<unsigned char>;

// Target bytes [target, target + length) made by adding to base bytes from base.
struct AlignedStretch {
  int64_t target = 0;
  int64_t base = 0;
  int64_t length = 0;
};

// One zlib stream made as its bytes come, so the raw streams are never held
// whole.
//
// A stream of up to kWholeStream bytes is compressed whole by libdeflate at
// its strongest level, which finds a few per cent more than zlib in the same
// format (the updater inflates it with zlib as any other); a longer one goes
// through zlib as it comes, so memory stays bounded on large files.
class Deflater {
 public:
  static constexpr std::size_t kWholeStream = 4 << 20;

  Deflater() = default;
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  ~Deflater();

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
  // The whole stream, or false when compression failed.
  bool Finish(Bytes& out);

 private:
  void Drain(int flush);
  bool Stream(const unsigned char* data, std::size_t size, int flush);

  z_stream z_{};
  bool streaming_ = false;  // zlib has taken over from the whole buffer
  bool ok_ = true;
  unsigned char pending_[1 << 16];
  std::size_t used_ = 0;
  Bytes whole_;  // all bytes so far, until streaming
  Bytes out_;
};

inline void PutVarint(uint64_t value, Deflater& out) {
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
  // alignment, when given, gets every stretch made by adding.
  PatchStreams(const Bytes& base, const Bytes& target, bool runs, std::vector<AlignedStretch>* alignment)
      : base_(base), target_(target), runs_(runs), alignment_(alignment) {}

  // Target bytes [targetPos, targetPos + add) from base bytes at basePos plus
  // differences, then the next extra target bytes as they are.
  void Emit(int64_t targetPos, int64_t basePos, int64_t add, int64_t extra) {
    if (add == 0 && extra == 0) return;
    if (add == 0) basePos = cursor_;  // nothing read: the position need not move
    if (alignment_ && add > 0) alignment_->push_back({targetPos, basePos, add});
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
  // zero runs and nonzero runs; out[5] is left alone.
  bool Finish(Bytes (&out)[6]) {
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
  std::vector<AlignedStretch>* alignment_;
  Deflater control_, diff_, extra_, zeroRuns_, byteRuns_;
  int64_t cursor_ = 0;
  uint64_t zeros_ = 0, nonzero_ = 0;  // of the runs not yet written
};

}  // namespace delta
