#include "updater/transfer/patch_output.h"

#include <algorithm>

#include "updater/transfer/branch_targets.h"
#include "updater/transfer/pe_sections.h"
#include "updater/transfer/program_refs.h"

namespace delta {

static_assert(kPatchOutputPiece % kBranchBlock == 0, "output pieces must hold whole transform blocks");

PatchOutput::PatchOutput(const PatchSink& sink, OutputTransform transform, uint64_t targetLength,
                         const RvaMap* map)
    : sink_(sink),
      piece_(new unsigned char[kPatchOutputPiece]),
      transform_(transform),
      targetLength_(targetLength),
      map_(map) {
  if (transform_ == OutputTransform::kProgram) {
    held_.reserve(static_cast<std::size_t>(std::min<uint64_t>(targetLength, kHeldReserve)));
  }
}

bool PatchOutput::Flush() {
  if (used_ == 0) return true;
  if (transform_ == OutputTransform::kProgram) {
    // Past the first reserve, room for the whole target at once: never more
    // than the target and that reserve held together.
    if (held_.capacity() - held_.size() < used_) held_.reserve(static_cast<std::size_t>(targetLength_));
    held_.insert(held_.end(), piece_.get(), piece_.get() + used_);
    used_ = 0;
    return true;
  }
  if (transform_ == OutputTransform::kBranchTargets) {
    DecodeBranchTargets(piece_.get(), used_, offset_, targetLength_);
  }
  bool ok = sink_(piece_.get(), used_);
  offset_ += used_;
  used_ = 0;
  return ok;
}

bool PatchOutput::Finish() {
  if (!Flush()) return false;
  if (transform_ != OutputTransform::kProgram) return true;
  // Bytes that are no x64 PE were not transformed: the encoder only
  // transforms programs, and other bytes fail the digest check anyway.
  PeSections pe;
  if (ReadPeSections(held_.data(), held_.size(), pe)) {
    TransformProgram(held_.data(), held_.size(), pe, *map_, ProgramDirection::kDecode);
  }
  for (std::size_t at = 0; at < held_.size(); at += kPatchOutputPiece) {
    if (!sink_(held_.data() + at, std::min(kPatchOutputPiece, held_.size() - at))) return false;
  }
  return true;
}

}  // namespace delta
