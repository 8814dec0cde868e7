#include "updater/transfer/delta_patch.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "updater/transfer/branch_targets.h"
#include "updater/transfer/inflated_stream.h"
#include "updater/transfer/patch_output.h"
#include "updater/transfer/rva_map.h"

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

// The address map of the x64 program transform: three numbers a segment,
// sorted by their new start: the gap since the previous segment's new end,
// the change of shift (old start minus new start, zigzag) from the previous
// segment's, and the length.
bool ReadProgramMap(InflatedStream& stream, RvaMap& map) {
  std::vector<RvaSegment> segments;
  uint64_t from = 0;
  int64_t shift = 0;
  while (stream.Fill()) {
    uint64_t gap, change, length;
    if (segments.size() == kMaxRvaSegments || !ReadVarint(stream, gap) || !ReadVarint(stream, change) ||
        !ReadVarint(stream, length) || gap > UINT32_MAX || change > UINT32_MAX * uint64_t{2} ||
        length > UINT32_MAX) {
      return false;
    }
    from += gap;
    shift += (change & 1) ? -static_cast<int64_t>(change >> 1) - 1 : static_cast<int64_t>(change >> 1);
    const int64_t to = static_cast<int64_t>(from) + shift;
    if (from > UINT32_MAX || to < 0 || to > UINT32_MAX) return false;
    segments.push_back(
        {static_cast<uint32_t>(from), static_cast<uint32_t>(to), static_cast<uint32_t>(length)});
    from += length;
  }
  return stream.AtEnd() && map.Assign(segments);
}

}  // namespace

std::size_t PatchHeaderSize(unsigned char version) {
  return version >= 3 ? kPatchHeaderSizeV3 : version == 2 ? kPatchHeaderSizeV2 : kPatchHeaderSize;
}

bool ReadPatchHeader(ByteSpan patch, PatchHeader& header) {
  if (patch.size < kPatchHeaderSize) return false;
  const unsigned char* p = patch.data;
  if (std::memcmp(p, kPatchMagic, 4) != 0 || p[4] < 1 || p[4] > kPatchVersion || p[6] || p[7]) return false;
  header.version = p[4];
  header.flags = p[5];
  const unsigned char knownFlags = header.version >= 3   ? kPatchFlagBranchTargets | kPatchFlagX64Program
                                   : header.version == 2 ? kPatchFlagBranchTargets
                                                         : 0;
  if ((header.flags & ~knownFlags) || header.flags == (kPatchFlagBranchTargets | kPatchFlagX64Program)) {
    return false;
  }
  const std::size_t headerSize = PatchHeaderSize(header.version);
  if (patch.size < headerSize) return false;
  header.baseLength = ReadLe64(p + 8);
  header.targetLength = ReadLe64(p + 16);
  header.controlLength = ReadLe64(p + 24);
  header.diffLength = ReadLe64(p + 32);
  header.extraLength = ReadLe64(p + 40);
  header.zeroRunsLength = header.version >= 2 ? ReadLe64(p + 48) : 0;
  header.byteRunsLength = header.version >= 2 ? ReadLe64(p + 56) : 0;
  header.programMapLength = header.version >= 3 ? ReadLe64(p + 64) : 0;
  // The program transform works on the whole target, which a PE's 32-bit
  // offsets bound.
  if ((header.flags & kPatchFlagX64Program) && header.targetLength > UINT32_MAX) return false;
  // Compared one by one so that no sum can wrap around.
  uint64_t rest = patch.size - headerSize;
  for (uint64_t length : {header.controlLength, header.diffLength, header.extraLength, header.zeroRunsLength,
                          header.byteRunsLength}) {
    if (length > rest) return false;
    rest -= length;
  }
  return header.programMapLength == rest;
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
  if (header.version >= 3) WriteLe64(header.programMapLength, out + 64);
}

namespace {

// The inflated streams of one patch, in the order the patch holds them.
struct PatchStreams {
  InflatedStream control, diff, extra, zeroRuns, byteRuns, programMap;

  bool Open(const PatchHeader& header, const unsigned char* at) {
    const auto open = [&at](InflatedStream& stream, uint64_t length) {
      const bool opened = stream.Open(at, length);
      at += length;
      return opened;
    };
    const bool runs = header.version >= 2;
    return open(control, header.controlLength) && open(diff, header.diffLength) &&
           open(extra, header.extraLength) && (!runs || open(zeroRuns, header.zeroRunsLength)) &&
           (!runs || open(byteRuns, header.byteRunsLength)) &&
           (header.version < 3 || open(programMap, header.programMapLength));
  }
};

// Moves pos by step; false where the sum would leave int64_t. The position may
// wander outside the base while nothing is added (the encoder never makes it,
// but it is harmless): it is checked before use.
bool Seek(int64_t& pos, int64_t step) {
  if ((step > 0 && pos > std::numeric_limits<int64_t>::max() - step) ||
      (step < 0 && pos < std::numeric_limits<int64_t>::min() - step)) {
    return false;
  }
  pos += step;
  return true;
}

// Writes count bytes of base from pos plus the next diff bytes.
PatchStatus AddFromBase(ByteSpan base, uint64_t pos, uint64_t count, bool branchTargets, DiffBytes& diff,
                        PatchOutput& out) {
  for (uint64_t todo = count; todo > 0;) {
    const std::size_t step = out.Room() < todo ? out.Room() : static_cast<std::size_t>(todo);
    unsigned char* tail = out.Tail();
    if (!diff.Read(tail, step)) return PatchStatus::kCorrupt;
    const unsigned char* from = base.data + pos;
    for (std::size_t i = 0; i < step; ++i) tail[i] = static_cast<unsigned char>(tail[i] + from[i]);
    if (branchTargets) AddBranchTargetChange(base.data, base.size, pos, step, tail);
    pos += step;
    todo -= step;
    if (!out.Commit(step)) return PatchStatus::kSinkFailed;
  }
  return PatchStatus::kApplied;
}

// Writes the next count bytes of the extra stream as they are.
PatchStatus CopyExtra(InflatedStream& extra, uint64_t count, PatchOutput& out) {
  for (uint64_t todo = count; todo > 0;) {
    const std::size_t step = out.Room() < todo ? out.Room() : static_cast<std::size_t>(todo);
    if (!extra.Read(out.Tail(), step)) return PatchStatus::kCorrupt;
    todo -= step;
    if (!out.Commit(step)) return PatchStatus::kSinkFailed;
  }
  return PatchStatus::kApplied;
}

// Runs the control stream's records until the target is made.
PatchStatus RunInstructions(const PatchHeader& header, ByteSpan base, PatchStreams& streams, DiffBytes& diff,
                            PatchOutput& out) {
  const bool branchTargets = (header.flags & kPatchFlagBranchTargets) != 0;
  uint64_t left = header.targetLength;
  int64_t signedPos = 0;  // into the base, within it at every add
  while (left > 0) {
    Instruction in;
    if (!ReadInstruction(streams.control, in)) return PatchStatus::kCorrupt;
    if (in.add > left || in.extra > left - in.add) return PatchStatus::kCorrupt;
    if (!Seek(signedPos, in.seek)) return PatchStatus::kCorrupt;
    if (in.add > 0) {
      if (signedPos < 0 || static_cast<uint64_t>(signedPos) > base.size ||
          in.add > base.size - static_cast<uint64_t>(signedPos)) {
        return PatchStatus::kCorrupt;
      }
      const PatchStatus added =
          AddFromBase(base, static_cast<uint64_t>(signedPos), in.add, branchTargets, diff, out);
      if (added != PatchStatus::kApplied) return added;
      signedPos += static_cast<int64_t>(in.add);
    }
    const PatchStatus copied = CopyExtra(streams.extra, in.extra, out);
    if (copied != PatchStatus::kApplied) return copied;
    left -= in.add + in.extra;
  }
  return PatchStatus::kApplied;
}

}  // namespace

PatchStatus ApplyPatch(ByteSpan patch, ByteSpan base, const PatchSink& sink) {
  PatchHeader header;
  if (!ReadPatchHeader(patch, header)) return PatchStatus::kBadHeader;
  if (header.baseLength != base.size) return PatchStatus::kWrongBase;

  PatchStreams streams;
  if (!streams.Open(header, patch.data + PatchHeaderSize(header.version))) return PatchStatus::kCorrupt;
  // Read before any output, so a broken map costs no work; without the flag
  // the map must be empty.
  RvaMap map;
  const bool program = (header.flags & kPatchFlagX64Program) != 0;
  if (header.version >= 3 && (!ReadProgramMap(streams.programMap, map) || (!program && !map.Empty()))) {
    return PatchStatus::kCorrupt;
  }

  const bool runs = header.version >= 2;
  DiffBytes diff(streams.diff, runs ? &streams.zeroRuns : nullptr, runs ? &streams.byteRuns : nullptr);
  const bool branchTargets = (header.flags & kPatchFlagBranchTargets) != 0;
  PatchOutput out(sink,
                  program         ? OutputTransform::kProgram
                  : branchTargets ? OutputTransform::kBranchTargets
                                  : OutputTransform::kNone,
                  header.targetLength, &map);
  const PatchStatus made = RunInstructions(header, base, streams, diff, out);
  if (made != PatchStatus::kApplied) return made;
  unsigned char byte;
  if (!streams.control.BufferEmpty() || streams.control.ReadByte(byte) || !streams.control.AtEnd() ||
      !diff.AtEnd() || !streams.extra.AtEnd()) {
    return PatchStatus::kCorrupt;
  }
  return out.Finish() ? PatchStatus::kApplied : PatchStatus::kSinkFailed;
}

}  // namespace delta
