#pragma once
// The x86 branch-target transform of patch format version 2. In machine code
// most of what changes between two builds is the rel32 operand of calls (E8)
// and jumps (E9): when code moves, every call across the move gets a new
// displacement although its target is the same function. Storing each such
// operand as the absolute position it points to (opcode offset + 5 +
// displacement) makes those calls equal in both versions, so the diff sees less
// change. The transform knows nothing of the file's container.
//
// Rules, the same for both directions so that decoding finds exactly the
// operands encoding changed:
//  - the file is cut into blocks of kBranchBlock bytes and an operand never
//    crosses a block's end (nor the file's), so any block can be worked on
//    alone and a reader can start anywhere after a short look back;
//  - scanning a block front to back, a byte E8 or E9 with 4 bytes after it in
//    the block is an opcode and the scan goes on after those 4 bytes, its
//    operand; any other byte is passed by;
//  - an operand that, read as a little-endian value, lies in [-2^24, 2^24) as
//    a signed number gets (offset of the opcode + 5) added modulo 2^25 inside
//    that range, which maps the range onto itself; others (data that merely
//    holds an E8) are left as they are, and are told apart again on decoding.

#include <cstddef>
#include <cstdint>

namespace delta {

constexpr std::size_t kBranchBlock = 4096;

// In place, on data that starts at file offset `offset` (a multiple of
// kBranchBlock) of a file `fileSize` bytes long; data ends at a block end or at
// the file's end.
void EncodeBranchTargets(unsigned char* data, std::size_t size, uint64_t offset, uint64_t fileSize);
void DecodeBranchTargets(unsigned char* data, std::size_t size, uint64_t offset, uint64_t fileSize);

// Adds to out[i], for i < size, what encoding the whole file would add to its
// byte at offset + i (mod 256); file is the whole unencoded file. Lets a patch
// read the encoded base without a copy of it.
void AddBranchTargetChange(const unsigned char* file, uint64_t fileSize, uint64_t offset, std::size_t size,
                           unsigned char* out);

// Whether data looks like x86 machine code: enough E8/E9 operands point inside
// it that the transform is worth a try.
bool LooksLikeX86Code(const unsigned char* data, std::size_t size);

}  // namespace delta
