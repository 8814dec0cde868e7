#pragma once
// The output side of applying a patch: a fixed piece that fills and goes to
// the sink, undoing the patch's transform on the way. Under the branch-target
// transform each piece decodes alone. Under the x64 program transform the
// references can only be found in the whole target (the relocation table
// comes last), so the pieces are held until the end, decoded together and
// then handed out: memory is then the target's length, reserved at once up to
// kHeldReserve and, once the output passes that, for the whole target.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "updater/transfer/delta_patch.h"
#include "updater/transfer/rva_map.h"

namespace delta {

enum class OutputTransform { kNone, kBranchTargets, kProgram };

class PatchOutput {
 public:
  static constexpr std::size_t kHeldReserve = 16 << 20;

  // map: for kProgram, the patch's address map (kept by the caller).
  PatchOutput(const PatchSink& sink, OutputTransform transform, uint64_t targetLength, const RvaMap* map);

  std::size_t Room() const { return kPatchOutputPiece - used_; }
  unsigned char* Tail() { return piece_.get() + used_; }
  bool Commit(std::size_t size) {
    used_ += size;
    return used_ < kPatchOutputPiece || Flush();
  }
  // Hands out what is pending; call once more at the end.
  bool Flush();
  bool Finish();

 private:
  const PatchSink& sink_;
  std::unique_ptr<unsigned char[]> piece_;
  std::size_t used_ = 0;
  OutputTransform transform_;
  uint64_t targetLength_;
  uint64_t offset_ = 0;
  const RvaMap* map_;
  std::vector<unsigned char> held_;
};

}  // namespace delta
