#pragma once
// The address map of the x64 program transform, from an alignment of the two
// builds (the stretches a patch made by adding): each stretch, cut where
// either side's section ends, says that new RVAs sit at old RVAs shifted by
// so much. Stretches that claim old addresses already claimed by a longer one
// are dropped, neighbours with the same shift joined where nothing lies
// between them on the old side, and the uninitialised tails of sections of the
// same name (.bss) matched by their offset in the section.

#include <vector>

#include "tools/publish/patch_streams.h"
#include "updater/transfer/pe_sections.h"
#include "updater/transfer/rva_map.h"

namespace delta {

std::vector<RvaSegment> ProgramMapFromAlignment(const std::vector<AlignedStretch>& alignment,
                                                const PeSections& base, const PeSections& target);

// The map's stream as docs/patch-format.md gives it, deflated.
bool DeflateProgramMap(const std::vector<RvaSegment>& segments, Bytes& out);

}  // namespace delta
