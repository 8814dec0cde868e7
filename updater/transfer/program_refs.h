#pragma once
// The x64 program transform of patch format version 3. Between two builds of
// one program most changed bytes are references whose targets only moved:
// calls, jumps and RIP-relative operands in the code, 64-bit absolute
// addresses listed in the base relocations, and the RVAs of the function
// table (.pdata). Rewriting each reference of the new build as the reference
// the old build would hold for the same target (through an RvaMap from new
// addresses to old ones) leaves the diff only the references that changed.
//
// The references are found the same way in the plain and in the rewritten
// file, so decoding finds exactly what encoding changed, whatever the bytes:
//  - what is read to find them is never rewritten: the headers, the
//    relocation table, and in the code only prefix, opcode, ModRM and SIB
//    bytes (x64_length.h);
//  - no two references overlap: a code section overlapping the headers, the
//    relocation table or a section scanned before it is not scanned; a table
//    reference inside the headers, a scanned code section or the relocation
//    table is left alone, and so is a relocation out of file order or inside
//    the function table;
//  - each reference's new value depends only on its own value and place.
// So the transform is one-to-one on any bytes, a PE or not, and takes time in
// proportion to the file's size and no memory of its own.

#include <cstddef>
#include <cstdint>

#include "updater/transfer/pe_sections.h"
#include "updater/transfer/rva_map.h"

namespace delta {

enum class ProgramDirection { kEncode, kDecode };

// Rewrites file's references in place; pe is read from file (ReadPeSections).
void TransformProgram(unsigned char* file, std::size_t size, const PeSections& pe, const RvaMap& map,
                      ProgramDirection direction);

// How many references of each kind the transform sees (for the publisher's
// figures and the tests).
struct ProgramReferenceCounts {
  std::size_t code = 0;         // rel32 and RIP-relative disp32
  std::size_t relocations = 0;  // 64-bit absolute addresses
  std::size_t functions = 0;    // .pdata RVAs
};
ProgramReferenceCounts CountProgramReferences(const unsigned char* file, std::size_t size,
                                              const PeSections& pe);

}  // namespace delta
