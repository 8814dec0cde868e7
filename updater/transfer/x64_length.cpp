#include "updater/transfer/x64_length.h"

#include <array>

namespace delta {
namespace {

// What follows an opcode: a ModRM byte, and an immediate of some size.
enum Form : unsigned char {
  kBare,     // nothing
  kModRm,    // ModRM (with SIB and displacement)
  kModRmI8,  // ModRM then imm8
  kModRmIz,  // ModRM then imm16/imm32 (by operand size)
  kI8,       // imm8 (or rel8)
  kI16,      // imm16
  kI16I8,    // enter: imm16, imm8
  kIz,       // imm16/imm32
  kIv,       // mov reg, imm: imm16/32/64
  kRel32,    // call/jmp/jcc rel32
  kMoffs,    // mov to/from an absolute address: 8 bytes (4 with 67)
  kGroup3,   // F6/F7: ModRM, an immediate only for /0 and /1
  kInvalid,
};

constexpr std::array<Form, 256> OneByteForms() {
  std::array<Form, 256> f{};
  for (int op = 0; op < 0x40; ++op) {
    const int low = op & 7;
    f[op] = low < 4 ? kModRm : low == 4 ? kI8 : low == 5 ? kIz : kInvalid;  // push/pop seg, daa...
  }
  for (int op = 0x40; op < 0x60; ++op) f[op] = kBare;  // REX (taken as prefix first), push, pop
  f[0x60] = f[0x61] = f[0x62] = kInvalid;
  f[0x63] = kModRm;
  f[0x68] = kIz;
  f[0x69] = kModRmIz;
  f[0x6A] = kI8;
  f[0x6B] = kModRmI8;
  for (int op = 0x6C; op < 0x70; ++op) f[op] = kBare;
  for (int op = 0x70; op < 0x80; ++op) f[op] = kI8;
  f[0x80] = kModRmI8;
  f[0x81] = kModRmIz;
  f[0x82] = kInvalid;
  f[0x83] = kModRmI8;
  for (int op = 0x84; op < 0x90; ++op) f[op] = kModRm;
  for (int op = 0x90; op < 0xA0; ++op) f[op] = kBare;
  f[0x9A] = kInvalid;
  for (int op = 0xA0; op < 0xA4; ++op) f[op] = kMoffs;
  for (int op = 0xA4; op < 0xB0; ++op) f[op] = kBare;
  f[0xA8] = kI8;
  f[0xA9] = kIz;
  for (int op = 0xB0; op < 0xB8; ++op) f[op] = kI8;
  for (int op = 0xB8; op < 0xC0; ++op) f[op] = kIv;
  f[0xC0] = f[0xC1] = kModRmI8;
  f[0xC2] = kI16;
  f[0xC3] = kBare;
  f[0xC4] = f[0xC5] = kInvalid;  // VEX, decoded apart
  f[0xC6] = kModRmI8;
  f[0xC7] = kModRmIz;
  f[0xC8] = kI16I8;
  f[0xC9] = kBare;
  f[0xCA] = kI16;
  f[0xCB] = f[0xCC] = kBare;
  f[0xCD] = kI8;
  f[0xCE] = kInvalid;
  f[0xCF] = kBare;
  for (int op = 0xD0; op < 0xD4; ++op) f[op] = kModRm;
  f[0xD4] = f[0xD5] = f[0xD6] = kInvalid;
  f[0xD7] = kBare;
  for (int op = 0xD8; op < 0xE0; ++op) f[op] = kModRm;
  for (int op = 0xE0; op < 0xE8; ++op) f[op] = kI8;
  f[0xE8] = f[0xE9] = kRel32;
  f[0xEA] = kInvalid;
  f[0xEB] = kI8;
  for (int op = 0xEC; op < 0x100; ++op) f[op] = kBare;
  f[0xF6] = f[0xF7] = kGroup3;
  f[0xFE] = f[0xFF] = kModRm;
  return f;
}

constexpr std::array<Form, 256> TwoByteForms() {
  std::array<Form, 256> f{};
  for (int op = 0; op < 0x100; ++op) f[op] = kModRm;
  for (int op : {0x04, 0x0A, 0x0C, 0x24, 0x25, 0x26, 0x27, 0x36, 0x39, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x7A,
                 0x7B, 0xA6, 0xA7}) {
    f[op] = kInvalid;
  }
  for (int op : {0x05, 0x06, 0x07, 0x08, 0x09, 0x0B, 0x0E, 0x30, 0x31, 0x32, 0x33,
                 0x34, 0x35, 0x37, 0x77, 0xA0, 0xA1, 0xA2, 0xA8, 0xA9, 0xAA}) {
    f[op] = kBare;
  }
  for (int op = 0xC8; op < 0xD0; ++op) f[op] = kBare;
  for (int op = 0x80; op < 0x90; ++op) f[op] = kRel32;
  for (int op : {0x0F, 0x70, 0x71, 0x72, 0x73, 0xA4, 0xAC, 0xBA, 0xC2, 0xC4, 0xC5, 0xC6}) f[op] = kModRmI8;
  return f;
}

constexpr std::array<Form, 256> kOneByte = OneByteForms();
constexpr std::array<Form, 256> kTwoByte = TwoByteForms();
constexpr std::size_t kMaxLength = 15;

bool IsLegacyPrefix(unsigned char b) {
  return b == 0x66 || b == 0x67 || b == 0xF0 || b == 0xF2 || b == 0xF3 || b == 0x2E || b == 0x36 ||
         b == 0x3E || b == 0x26 || b == 0x64 || b == 0x65;
}

// The form of a VEX (C4/C5) or EVEX (62) coded opcode; at is just past the
// escape byte and ends past the opcode.
Form VectorForm(const unsigned char* code, std::size_t size, std::size_t& at, unsigned char escape) {
  const std::size_t payload = escape == 0xC5 ? 1 : escape == 0xC4 ? 2 : 3;
  if (size - at < payload + 1) return kInvalid;
  const unsigned map = escape == 0xC5 ? 1 : escape == 0xC4 ? (code[at] & 0x1F) : (code[at] & 7);
  at += payload;
  const unsigned char op = code[at++];
  if (map == 3) return kModRmI8;
  if (map == 2 || map == 5 || map == 6) return kModRm;
  if (map != 1) return kInvalid;
  if (op == 0x77 && escape != 0x62) return kBare;  // vzeroupper/vzeroall
  return kTwoByte[op] == kModRmI8 ? kModRmI8 : kModRm;
}

struct Prefixes {
  bool operandSize = false;
  bool addressSize = false;
  bool rexW = false;
};

// Past a ModRM byte at code[at] and its SIB and displacement; notes a
// RIP-relative displacement in out.
bool SkipModRm(const unsigned char* code, std::size_t size, std::size_t& at, X64Instruction& out,
               unsigned& reg) {
  if (at >= size) return false;
  const unsigned char modrm = code[at++];
  const unsigned mod = modrm >> 6, rm = modrm & 7;
  reg = (modrm >> 3) & 7;
  if (mod == 3) return true;
  std::size_t disp = mod == 1 ? 1 : mod == 2 ? 4 : 0;
  if (rm == 4) {
    if (at >= size) return false;
    if (mod == 0 && (code[at] & 7) == 5) disp = 4;
    ++at;
  } else if (mod == 0 && rm == 5) {
    out.reference = X64Reference::kRipDisp32;
    out.fieldAt = static_cast<uint32_t>(at);
    disp = 4;
  }
  at += disp;
  return at <= size;
}

std::size_t ImmediateSize(Form form, const Prefixes& p, unsigned reg) {
  const std::size_t z = p.operandSize ? 2 : 4;
  switch (form) {
    case kModRmI8:
    case kI8:
      return 1;
    case kI16:
      return 2;
    case kI16I8:
      return 3;
    case kModRmIz:
    case kIz:
      return z;
    case kIv:
      return p.rexW ? 8 : z;
    case kMoffs:
      return p.addressSize ? 4 : 8;
    case kGroup3:
      return reg >= 2 ? 0 : 1;  // the caller widens it for F7
    default:
      return 0;
  }
}

}  // namespace

X64Instruction DecodeX64(const unsigned char* code, std::size_t size) {
  if (size > kMaxLength) size = kMaxLength;
  X64Instruction out;
  Prefixes p;
  std::size_t at = 0;
  for (; at < size && IsLegacyPrefix(code[at]); ++at) {
    p.operandSize |= code[at] == 0x66;
    p.addressSize |= code[at] == 0x67;
  }
  if (at < size && (code[at] & 0xF0) == 0x40) p.rexW = (code[at++] & 8) != 0;
  if (at >= size) return {};
  const unsigned char op = code[at++];
  Form form = kOneByte[op];
  if (op == 0x0F) {
    if (at >= size) return {};
    const unsigned char second = code[at++];
    form = second == 0x38 || second == 0x3A ? (at++, second == 0x38 ? kModRm : kModRmI8) : kTwoByte[second];
  } else if (op == 0xC4 || op == 0xC5 || op == 0x62) {
    form = VectorForm(code, size, at, op);
  }
  if (form == kInvalid || at > size) return {};
  unsigned reg = 0;
  const bool hasModRm = form == kModRm || form == kModRmI8 || form == kModRmIz || form == kGroup3;
  if (hasModRm && !SkipModRm(code, size, at, out, reg)) return {};
  if (form == kRel32) {
    out.reference = X64Reference::kRel32;
    out.fieldAt = static_cast<uint32_t>(at);
    at += 4;
  }
  std::size_t imm = ImmediateSize(form, p, reg);
  if (form == kGroup3 && imm != 0 && op == 0xF7) imm = p.operandSize ? 2 : 4;
  at += imm;
  if (at > size) return {};
  out.length = static_cast<uint32_t>(at);
  return out;
}

}  // namespace delta
