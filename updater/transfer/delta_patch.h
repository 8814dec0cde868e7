#pragma once
// Binary patches from a file the client has (the base) to the file it needs
// (the target); the bytes are described in docs/patch-format.md. Portable: no
// Windows call. Applying reads the base from memory the caller gives (a file
// mapping in the updater), inflates the patch's three streams side by side and
// hands the output to a sink in pieces of at most kPatchOutputPiece bytes, so
// memory stays small and fixed whatever the header claims.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace delta {

constexpr unsigned char kPatchMagic[4] = {'T', 'V', 'D', 'P'};
// Version 1 stores the diff bytes as they are; version 2 stores the nonzero
// ones and, in two more streams, the lengths of the zero and nonzero runs, and
// may carry the x86 branch-target transform (branch_targets.h); version 3 adds
// a stream for the x64 program transform's address map (program_refs.h). All
// apply.
constexpr unsigned char kPatchVersion = 3;
constexpr unsigned char kPatchFlagBranchTargets = 1;
constexpr unsigned char kPatchFlagX64Program = 2;  // version 3 only
constexpr std::size_t kPatchHeaderSize = 48;       // version 1
constexpr std::size_t kPatchHeaderSizeV2 = 64;     // version 2: two more stream lengths
constexpr std::size_t kPatchHeaderSizeV3 = 72;     // version 3: and the address map's
constexpr std::size_t kPatchOutputPiece = 256 << 10;

struct ByteSpan {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
};

struct PatchHeader {
  uint64_t baseLength = 0;
  uint64_t targetLength = 0;
  uint64_t controlLength = 0;
  uint64_t diffLength = 0;
  uint64_t extraLength = 0;
  unsigned char version = 1;
  unsigned char flags = 0;  // version 2 only
  // Version 2: the streams of zero-run and nonzero-run lengths, after extra.
  uint64_t zeroRunsLength = 0;
  uint64_t byteRunsLength = 0;
  uint64_t programMapLength = 0;  // version 3, after the runs
};

std::size_t PatchHeaderSize(unsigned char version);

enum class PatchStatus {
  kApplied,
  kBadHeader,   // not a patch of this format, or its length disagrees
  kWrongBase,   // the base's length is not the one the patch was made from
  kCorrupt,     // a stream or an instruction is broken or out of bounds
  kSinkFailed,  // the sink refused a piece
};

// Reads and checks the header: magic, a known version and flags, reserved
// bytes, and that the patch is exactly as long as the header says.
bool ReadPatchHeader(ByteSpan patch, PatchHeader& header);

// The header bytes for header (PatchHeaderSize(header.version) of them).
void WritePatchHeader(const PatchHeader& header, unsigned char out[]);

// Applies patch to base, handing the target to sink front to back. Nothing is
// handed past the target length; on any status but kApplied the sink may have
// had a part of the output and the caller discards it.
using PatchSink = std::function<bool(const unsigned char*, std::size_t)>;
PatchStatus ApplyPatch(ByteSpan patch, ByteSpan base, const PatchSink& sink);

}  // namespace delta
