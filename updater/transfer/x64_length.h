#pragma once
// Lengths of x86-64 instructions (64-bit mode), and where each holds a
// reference to code or data: the rel32 of a call, jump or conditional jump, or
// the disp32 of a RIP-relative memory operand. The length depends only on
// prefix, opcode, ModRM and SIB bytes, never on the displacement or immediate
// values, so a displacement can be rewritten without changing how the bytes
// decode. Not a disassembler: opcodes that do not exist in 64-bit mode give
// length 0, and a scan then moves on by one byte.

#include <cstddef>
#include <cstdint>

namespace delta {

enum class X64Reference : unsigned char { kNone, kRel32, kRipDisp32 };

struct X64Instruction {
  uint32_t length = 0;   // 0: no instruction starts here
  uint32_t fieldAt = 0;  // the reference's 4 bytes, from the instruction's start
  X64Reference reference = X64Reference::kNone;
};

// Decodes the instruction at code[0], reading at most min(size, 15) bytes.
X64Instruction DecodeX64(const unsigned char* code, std::size_t size);

}  // namespace delta
