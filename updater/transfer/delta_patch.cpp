#include "updater/transfer/delta_patch.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "updater/transfer/branch_targets.h"

namespace delta {
namespace {

uint64_t ReadLe64(const unsigned char* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

void WriteLe64(uint64_t value, unsigned char* p) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// One of the patch's zlib streams, inflated on demand into the caller's buffer.
class InflatedStream {
 public:
  InflatedStream() = default;
  InflatedStream(const InflatedStream&) = delete;
  InflatedStream& operator=(const InflatedStream&) = delete;
  ~InflatedStream() {
    if (open_) inflateEnd(&z_);
  }

  bool Open(const unsigned char* data, uint64_t size) {
    if (size > std::numeric_limits<uInt>::max()) return false;
    std::memset(&z_, 0, sizeof z_);
    z_.next_in = const_cast<Bytef*>(data);
    z_.avail_in = static_cast<uInt>(size);
    open_ = inflateInit(&z_) == Z_OK;
    return open_;
  }

  // Fills exactly size bytes; false when the stream is broken or ends first.
  bool Read(unsigned char* out, std::size_t size) {
    while (size > 0) {
      if (ended_) return false;
      uInt step = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
      z_.next_out = out;
      z_.avail_out = step;
      int rc = inflate(&z_, Z_NO_FLUSH);
      std::size_t made = step - z_.avail_out;
      out += made;
      size -= made;
      if (rc == Z_STREAM_END) {
        ended_ = true;
      } else if (rc != Z_OK || (made == 0 && z_.avail_in == 0)) {
        return false;  // broken data, or input used up before the stream's end
      }
    }
    return true;
  }

  // True when the stream holds nothing more and ends exactly at its last byte.
  bool AtEnd() {
    if (!ended_) {
      unsigned char spare;
      z_.next_out = &spare;
      z_.avail_out = 1;
      if (inflate(&z_, Z_NO_FLUSH) != Z_STREAM_END || z_.avail_out != 1) return false;
      ended_ = true;
    }
    return z_.avail_in == 0;
  }

  // The stream read through a buffer: Buffered() holds at least one byte
  // unless the stream is used up or broken; Take(n) uses n of them.
  bool Fill() {
    if (bufferPos_ < bufferEnd_) return true;
    if (ended_) return false;
    z_.next_out = buffer_;
    z_.avail_out = kBufferSize;
    int rc = inflate(&z_, Z_NO_FLUSH);
    bufferPos_ = 0;
    bufferEnd_ = kBufferSize - z_.avail_out;
    if (rc == Z_STREAM_END) {
      ended_ = true;
    } else if (rc != Z_OK) {
      return false;
    }
    return bufferEnd_ != 0;
  }
  const unsigned char* Buffered() const { return buffer_ + bufferPos_; }
  std::size_t BufferedSize() const { return bufferEnd_ - bufferPos_; }
  void Take(std::size_t n) { bufferPos_ += n; }

  bool ReadByte(unsigned char& byte) {
    if (!Fill()) return false;
    byte = buffer_[bufferPos_++];
    return true;
  }

  bool BufferEmpty() const { return bufferPos_ == bufferEnd_; }

 private:
  static constexpr std::size_t kBufferSize = 4096;
  z_stream z_{};
  bool open_ = false;
  bool ended_ = false;
  unsigned char buffer_[kBufferSize];
  std::size_t bufferPos_ = 0;
  std::size_t bufferEnd_ = 0;
};

bool ReadVarint(InflatedStream& stream, uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 63; shift += 7) {
    unsigned char byte;
    if (!stream.ReadByte(byte)) return false;
    value |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return value < (uint64_t{1} << 63);
  }
  return false;
}

struct Instruction {
  int64_t seek = 0;
  uint64_t add = 0;
  uint64_t extra = 0;
};

bool ReadInstruction(InflatedStream& control, Instruction& in) {
  uint64_t seek;
  if (!ReadVarint(control, seek) || !ReadVarint(control, in.add) || !ReadVarint(control, in.extra)) {
    return false;
  }
  in.seek = (seek & 1) ? -static_cast<int64_t>(seek >> 1) - 1 : static_cast<int64_t>(seek >> 1);
  return in.add != 0 || in.extra != 0;
}

// The diff bytes: as they are (version 1), or made of runs (version 2): each
// pair of lengths, one from each runs stream, says how many zeros and then how
// many bytes of the diff stream come next.
class DiffBytes {
 public:
  DiffBytes(InflatedStream& bytes, InflatedStream* zeroRuns, InflatedStream* byteRuns)
      : bytes_(bytes), zeroRuns_(zeroRuns), byteRuns_(byteRuns) {}

  // Fills exactly size bytes; false when a stream is broken or ends first.
  bool Read(unsigned char* out, std::size_t size) {
    if (!zeroRuns_) return bytes_.Read(out, size);
    while (size > 0) {
      if (zeros_ > 0) {
        std::size_t n = zeros_ < size ? static_cast<std::size_t>(zeros_) : size;
        std::memset(out, 0, n);
        out += n;
        size -= n;
        zeros_ -= n;
      } else if (nonzero_ > 0) {
        if (!bytes_.Fill()) return false;
        std::size_t n = std::min<uint64_t>({nonzero_, size, bytes_.BufferedSize()});
        std::memcpy(out, bytes_.Buffered(), n);
        bytes_.Take(n);
        out += n;
        size -= n;
        nonzero_ -= n;
      } else if (!ReadVarint(*zeroRuns_, zeros_) || !ReadVarint(*byteRuns_, nonzero_) ||
                 (zeros_ == 0 && nonzero_ == 0)) {
        return false;
      }
    }
    return true;
  }

  bool AtEnd() {
    if (!zeroRuns_) return bytes_.AtEnd();
    return zeros_ == 0 && nonzero_ == 0 && bytes_.BufferEmpty() && bytes_.AtEnd() &&
           zeroRuns_->BufferEmpty() && zeroRuns_->AtEnd() && byteRuns_->BufferEmpty() && byteRuns_->AtEnd();
  }

 private:
  InflatedStream& bytes_;
  InflatedStream* zeroRuns_;  // null in version 1
  InflatedStream* byteRuns_;
  uint64_t zeros_ = 0;  // of the current run, not yet handed out
  uint64_t nonzero_ = 0;
};

// The output side: a fixed piece that fills and goes to the sink.
class OutputPieces {
 public:
  OutputPieces(const PatchSink& sink, bool branchTargets, uint64_t targetLength)
      : sink_(sink),
        piece_(new unsigned char[kPatchOutputPiece]),
        branchTargets_(branchTargets),
        targetLength_(targetLength) {}

  std::size_t Room() const { return kPatchOutputPiece - used_; }
  unsigned char* Tail() { return piece_.get() + used_; }
  bool Commit(std::size_t size) {
    used_ += size;
    return used_ < kPatchOutputPiece || Flush();
  }
  bool Flush() {
    if (used_ == 0) return true;
    // Pieces are whole blocks of the transform (but the last), so each
    // decodes alone.
    if (branchTargets_) DecodeBranchTargets(piece_.get(), used_, offset_, targetLength_);
    bool ok = sink_(piece_.get(), used_);
    offset_ += used_;
    used_ = 0;
    return ok;
  }

 private:
  const PatchSink& sink_;
  std::unique_ptr<unsigned char[]> piece_;
  std::size_t used_ = 0;
  bool branchTargets_;
  uint64_t targetLength_;
  uint64_t offset_ = 0;
};
static_assert(kPatchOutputPiece % kBranchBlock == 0, "output pieces must hold whole transform blocks");

}  // namespace

std::size_t PatchHeaderSize(unsigned char version) {
  return version >= 2 ? kPatchHeaderSizeV2 : kPatchHeaderSize;
}

bool ReadPatchHeader(ByteSpan patch, PatchHeader& header) {
  if (patch.size < kPatchHeaderSize) return false;
  const unsigned char* p = patch.data;
  if (std::memcmp(p, kPatchMagic, 4) != 0 || p[4] < 1 || p[4] > kPatchVersion || p[6] || p[7]) return false;
  header.version = p[4];
  header.flags = p[5];
  const unsigned char knownFlags = header.version >= 2 ? kPatchFlagBranchTargets : 0;
  if (header.flags & ~knownFlags) return false;
  const std::size_t headerSize = PatchHeaderSize(header.version);
  if (patch.size < headerSize) return false;
  header.baseLength = ReadLe64(p + 8);
  header.targetLength = ReadLe64(p + 16);
  header.controlLength = ReadLe64(p + 24);
  header.diffLength = ReadLe64(p + 32);
  header.extraLength = ReadLe64(p + 40);
  header.zeroRunsLength = header.version >= 2 ? ReadLe64(p + 48) : 0;
  header.byteRunsLength = header.version >= 2 ? ReadLe64(p + 56) : 0;
  // Compared one by one so that no sum can wrap around.
  uint64_t rest = patch.size - headerSize;
  for (uint64_t length :
       {header.controlLength, header.diffLength, header.extraLength, header.zeroRunsLength}) {
    if (length > rest) return false;
    rest -= length;
  }
  return header.byteRunsLength == rest;
}

void WritePatchHeader(const PatchHeader& header, unsigned char out[]) {
  std::memcpy(out, kPatchMagic, 4);
  out[4] = header.version;
  out[5] = header.flags;
  out[6] = out[7] = 0;
  WriteLe64(header.baseLength, out + 8);
  WriteLe64(header.targetLength, out + 16);
  WriteLe64(header.controlLength, out + 24);
  WriteLe64(header.diffLength, out + 32);
  WriteLe64(header.extraLength, out + 40);
  if (header.version >= 2) {
    WriteLe64(header.zeroRunsLength, out + 48);
    WriteLe64(header.byteRunsLength, out + 56);
  }
}

PatchStatus ApplyPatch(ByteSpan patch, ByteSpan base, const PatchSink& sink) {
  PatchHeader header;
  if (!ReadPatchHeader(patch, header)) return PatchStatus::kBadHeader;
  if (header.baseLength != base.size) return PatchStatus::kWrongBase;

  const unsigned char* at = patch.data + PatchHeaderSize(header.version);
  const auto open = [&at](InflatedStream& stream, uint64_t length) {
    const bool opened = stream.Open(at, length);
    at += length;
    return opened;
  };
  const bool runs = header.version >= 2;
  InflatedStream control, diff, extra, zeroRuns, byteRuns;
  if (!open(control, header.controlLength) || !open(diff, header.diffLength) ||
      !open(extra, header.extraLength) || (runs && !open(zeroRuns, header.zeroRunsLength)) ||
      (runs && !open(byteRuns, header.byteRunsLength))) {
    return PatchStatus::kCorrupt;
  }

  DiffBytes diffBytes(diff, runs ? &zeroRuns : nullptr, runs ? &byteRuns : nullptr);
  const bool branchTargets = (header.flags & kPatchFlagBranchTargets) != 0;
  OutputPieces out(sink, branchTargets, header.targetLength);
  uint64_t left = header.targetLength;
  int64_t signedPos = 0;  // into the base, within it at every add
  while (left > 0) {
    Instruction in;
    if (!ReadInstruction(control, in)) return PatchStatus::kCorrupt;
    if (in.add > left || in.extra > left - in.add) return PatchStatus::kCorrupt;
    // The position may wander outside the base while nothing is added (the
    // encoder never makes it, but it is harmless); it is checked before use.
    if ((in.seek > 0 && signedPos > std::numeric_limits<int64_t>::max() - in.seek) ||
        (in.seek < 0 && signedPos < std::numeric_limits<int64_t>::min() - in.seek)) {
      return PatchStatus::kCorrupt;
    }
    signedPos += in.seek;
    if (in.add > 0) {
      if (signedPos < 0 || static_cast<uint64_t>(signedPos) > base.size ||
          in.add > base.size - static_cast<uint64_t>(signedPos)) {
        return PatchStatus::kCorrupt;
      }
      uint64_t pos = static_cast<uint64_t>(signedPos);
      signedPos += static_cast<int64_t>(in.add);
      for (uint64_t todo = in.add; todo > 0;) {
        std::size_t step = out.Room() < todo ? out.Room() : static_cast<std::size_t>(todo);
        unsigned char* tail = out.Tail();
        if (!diffBytes.Read(tail, step)) return PatchStatus::kCorrupt;
        const unsigned char* from = base.data + pos;
        for (std::size_t i = 0; i < step; ++i) tail[i] = static_cast<unsigned char>(tail[i] + from[i]);
        if (branchTargets) AddBranchTargetChange(base.data, base.size, pos, step, tail);
        pos += step;
        todo -= step;
        if (!out.Commit(step)) return PatchStatus::kSinkFailed;
      }
    }
    for (uint64_t todo = in.extra; todo > 0;) {
      std::size_t step = out.Room() < todo ? out.Room() : static_cast<std::size_t>(todo);
      if (!extra.Read(out.Tail(), step)) return PatchStatus::kCorrupt;
      todo -= step;
      if (!out.Commit(step)) return PatchStatus::kSinkFailed;
    }
    left -= in.add + in.extra;
  }
  unsigned char byte;
  if (!control.BufferEmpty() || control.ReadByte(byte) || !control.AtEnd() || !diffBytes.AtEnd() ||
      !extra.AtEnd()) {
    return PatchStatus::kCorrupt;
  }
  return out.Flush() ? PatchStatus::kApplied : PatchStatus::kSinkFailed;
}

}  // namespace delta
