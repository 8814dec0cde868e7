#include "updater/transfer/branch_targets.h"

#include <algorithm>

namespace delta {
namespace {

constexpr uint32_t kRangeBits = 25;
constexpr uint32_t kRangeMask = (uint32_t{1} << kRangeBits) - 1;

bool IsOpcode(unsigned char byte) { return (byte & 0xFE) == 0xE8; }

uint32_t ReadLe32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Whether the 32-bit value is the sign extension of its low 25 bits.
bool InRange(uint32_t value) {
  const uint32_t top = value >> (kRangeBits - 1);
  return top == 0 || top == (uint32_t{0xFFFFFFFF} >> (kRangeBits - 1));
}

// value + step within the signed 25-bit range, sign-extended back to 32 bits.
uint32_t AddInRange(uint32_t value, uint32_t step) {
  uint32_t low = (value + step) & kRangeMask;
  return (low & (uint32_t{1} << (kRangeBits - 1))) ? low | ~kRangeMask : low;
}

uint64_t BlockEnd(uint64_t offset, uint64_t fileSize) {
  return std::min<uint64_t>(offset - offset % kBranchBlock + kBranchBlock, fileSize);
}

// Walks the operands of file bytes [from, to) of the file `bytes` points into
// at file offset `base`, from a position `from` at which no operand is open;
// calls visit(opcode offset, value) for each in range.
template <typename Visit>
void ForEachOperand(const unsigned char* bytes, uint64_t base, uint64_t from, uint64_t to, uint64_t fileSize,
                    Visit visit) {
  for (uint64_t at = from; at < to;) {
    // Block by block, so the inner loop is a plain scan for the two opcodes.
    const uint64_t blockEnd = BlockEnd(at, fileSize);
    const uint64_t stop = std::min(to, blockEnd);
    const unsigned char* b = bytes + (at - base);
    while (at < stop) {
      if (!IsOpcode(*b) || at + 5 > blockEnd) {
        ++at;
        ++b;
        continue;
      }
      // Whether the operand changes may not decide where the scan goes on:
      // the next opcode could sit in the bytes read, and change them.
      const uint32_t value = ReadLe32(b + 1);
      if (InRange(value)) visit(at, value);
      at += 5;
      b += 5;
    }
  }
}

void WriteLe32(uint32_t value, unsigned char* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

void EncodeBranchTargets(unsigned char* data, std::size_t size, uint64_t offset, uint64_t fileSize) {
  ForEachOperand(data, offset, offset, offset + size, fileSize, [&](uint64_t at, uint32_t value) {
    WriteLe32(AddInRange(value, static_cast<uint32_t>(at + 5)), data + (at - offset) + 1);
  });
}

void DecodeBranchTargets(unsigned char* data, std::size_t size, uint64_t offset, uint64_t fileSize) {
  ForEachOperand(data, offset, offset, offset + size, fileSize, [&](uint64_t at, uint32_t value) {
    WriteLe32(AddInRange(value, 0u - static_cast<uint32_t>(at + 5)), data + (at - offset) + 1);
  });
}

void AddBranchTargetChange(const unsigned char* file, uint64_t fileSize, uint64_t offset, std::size_t size,
                           unsigned char* out) {
  if (size == 0) return;
  // Look back for a place no operand covers: the block's start, or a byte
  // after four that are no opcode (an operand is the 4 bytes after one).
  const uint64_t blockStart = offset - offset % kBranchBlock;
  uint64_t from = offset;
  for (int plain = 0; from > blockStart && plain < 4;) {
    --from;
    plain = IsOpcode(file[from]) ? 0 : plain + 1;
    if (plain == 4) from += 4;
  }
  const uint64_t end = offset + size;
  ForEachOperand(file, 0, from, end, fileSize, [&](uint64_t at, uint32_t value) {
    unsigned char encoded[4];
    WriteLe32(AddInRange(value, static_cast<uint32_t>(at + 5)), encoded);
    for (uint64_t i = 0; i < 4; ++i) {
      const uint64_t pos = at + 1 + i;
      if (pos >= offset && pos < end) {
        out[pos - offset] = static_cast<unsigned char>(out[pos - offset] + encoded[i] - file[pos]);
      }
    }
  });
}

bool LooksLikeX86Code(const unsigned char* data, std::size_t size) {
  // Random bytes hold an in-range operand pointing inside the file about once
  // in 16 KiB; code holds one every few hundred bytes.
  std::size_t inside = 0;
  ForEachOperand(data, 0, 0, size, size, [&](uint64_t at, uint32_t value) {
    const uint64_t target = at + 5 + static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(value)));
    if (target < size) ++inside;
  });
  return inside >= 16 && inside * 2048 >= size;
}

}  // namespace delta
