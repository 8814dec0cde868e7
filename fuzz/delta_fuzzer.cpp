// Arbitrary bytes as a patch applied to a fixed base: whatever the patch says,
// the decoder reads only the base and the patch (the sanitizers watch), hands
// out pieces of its piece size but the last (the branch-target decoding
// relies on it), never more than the header's target length in all, and
// reports success only with exactly that length. The seeds hold all three
// format versions, with and without the branch-target flag, a version 3 patch
// that makes a small x64 PE under the program transform (its decoder then
// reads whatever PE the mutations make), and patches whose output runs past
// one piece.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "updater/transfer/delta_patch.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// Bytes with repeats and near-repeats, so that patches which add to it and
// seek about in it are easy to reach. Kept in sync with the seed corpus.
std::vector<unsigned char> FuzzBase() {
  std::vector<unsigned char> base(4096);
  for (std::size_t i = 0; i < base.size(); ++i) base[i] = static_cast<unsigned char>(i * 7 + (i >> 5));
  return base;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::vector<unsigned char> base = FuzzBase();
  // The patch in a buffer of its own size, so a read past its end is caught.
  std::vector<unsigned char> patch(data, data + size);
  delta::PatchHeader header;
  bool known = delta::ReadPatchHeader({patch.data(), patch.size()}, header);
  uint64_t made = 0;
  bool shortPiece = false;
  delta::PatchStatus status = delta::ApplyPatch({patch.data(), patch.size()}, {base.data(), base.size()},
                                                [&](const unsigned char* piece, std::size_t n) {
                                                  Require(known && n > 0 && n <= delta::kPatchOutputPiece);
                                                  Require(!shortPiece);
                                                  shortPiece = n < delta::kPatchOutputPiece;
                                                  made += n;
                                                  Require(made <= header.targetLength);
                                                  volatile unsigned char first = piece[0],
                                                                         last = piece[n - 1];
                                                  (void)first;
                                                  (void)last;
                                                  return true;
                                                });
  Require(status != delta::PatchStatus::kSinkFailed);
  if (status == delta::PatchStatus::kApplied) Require(made == header.targetLength);
  return 0;
}
