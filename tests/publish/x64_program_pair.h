#pragma once
// Two builds of a made-up x64 program as PE files: functions of calls, jumps,
// RIP-relative loads and plain instructions, a data section of pointers to
// them (with base relocations), and a function table. The next build inserts
// functions and edits a few instructions, so that most references change
// only because their targets moved.

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace x64_pair {

using Bytes = std::vector<unsigned char>;

inline void Put(Bytes& b, std::size_t at, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
inline uint32_t Align(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

struct Instruction {
  int kind;  // 0 call, 1 lea rip, 2 jcc back to the function, 3 mov imm32, 4 mov reg
  uint32_t arg;
};
struct Program {
  std::vector<std::vector<Instruction>> functions;
  std::vector<uint32_t> pointers;  // data words: function numbers
};

inline Program MakeProgram(uint32_t seed, int count) {
  std::mt19937 rng(seed);
  Program p;
  for (int f = 0; f < count; ++f) {
    std::vector<Instruction> body(4 + rng() % 12);
    for (Instruction& in : body) in = {static_cast<int>(rng() % 5), static_cast<uint32_t>(rng())};
    for (Instruction& in : body) in.arg = in.kind == 0 ? in.arg % count : in.arg;  // calls: a function number
    p.functions.push_back(body);
  }
  for (int i = 0; i < count / 2; ++i) p.pointers.push_back(rng() % count);
  return p;
}

// The next build: `inserted` new functions at `at` (calls and pointers by
// number follow their function), every 50th function's first instruction
// changed.
inline Program NextBuild(Program p, int at, int inserted) {
  const auto moved = [&](uint32_t f) { return f >= static_cast<uint32_t>(at) ? f + inserted : f; };
  for (auto& f : p.functions) {
    for (Instruction& in : f) in.arg = in.kind == 0 ? moved(in.arg) : in.arg;
  }
  for (uint32_t& f : p.pointers) f = moved(f);
  Program extra = MakeProgram(99, inserted);
  p.functions.insert(p.functions.begin() + at, extra.functions.begin(), extra.functions.end());
  for (std::size_t f = 0; f < p.functions.size(); f += 50) p.functions[f][0] = {3, 0xABCD};
  return p;
}

constexpr int kSizes[] = {5, 7, 6, 5, 3};  // of each instruction kind

// Where everything goes: sections .text, .data, .pdata, .reloc.
struct Layout {
  std::vector<uint32_t> start;  // RVA of each function
  uint32_t rvas[4], vsizes[4], raw[4], rawSize[4], pages, fileSize;
  uint32_t File(uint32_t r) const {
    for (int s = 3;; --s)
      if (r >= rvas[s]) return raw[s] + (r - rvas[s]);
  }
};

inline Layout MakeLayout(const Program& p) {
  Layout l;
  uint32_t rva = 0x1000;
  for (const auto& f : p.functions) {
    l.start.push_back(rva);
    for (const Instruction& in : f) rva += kSizes[in.kind];
    rva = Align(rva + 1, 16);  // ret, padding
  }
  const uint32_t words = static_cast<uint32_t>(p.pointers.size()), dataSize = 8 * words + 64;
  l.pages = dataSize / 0x1000 + 1;
  l.rvas[0] = 0x1000, l.vsizes[0] = rva - 0x1000;
  l.rvas[1] = Align(rva, 0x1000), l.vsizes[1] = dataSize;
  l.rvas[2] = Align(l.rvas[1] + dataSize, 0x1000),
  l.vsizes[2] = 12 * static_cast<uint32_t>(p.functions.size());
  l.rvas[3] = Align(l.rvas[2] + l.vsizes[2], 0x1000), l.vsizes[3] = l.pages * 12 + 2 * words;
  uint32_t offset = 0x400;
  for (int s = 0; s < 4; ++s) {
    l.raw[s] = offset;
    l.rawSize[s] = Align(l.vsizes[s], 0x200);
    offset += l.rawSize[s];
  }
  l.fileSize = offset;
  return l;
}

inline void WriteHeaders(Bytes& b, const Layout& l) {
  b[0] = 'M', b[1] = 'Z';
  Put(b, 0x3C, 0x80, 4);
  Put(b, 0x80, 0x4550, 4);
  Put(b, 0x84, 0x8664, 2);
  Put(b, 0x86, 4, 2);
  Put(b, 0x94, 0xF0, 2);
  const std::size_t opt = 0x98;
  Put(b, opt, 0x20B, 2);
  Put(b, opt + 24, 0x140000000ull, 8);
  Put(b, opt + 56, Align(l.rvas[3] + l.vsizes[3], 0x1000), 4);
  Put(b, opt + 60, 0x400, 4);
  Put(b, opt + 108, 16, 4);
  Put(b, opt + 112 + 3 * 8, l.rvas[2], 4), Put(b, opt + 116 + 3 * 8, l.vsizes[2], 4);
  Put(b, opt + 112 + 5 * 8, l.rvas[3], 4), Put(b, opt + 116 + 5 * 8, l.vsizes[3], 4);
  const char* names[4] = {".text", ".data", ".pdata", ".reloc"};
  for (int s = 0; s < 4; ++s) {
    const std::size_t h = opt + 0xF0 + 40 * s;
    for (int i = 0; names[s][i]; ++i) b[h + i] = names[s][i];
    Put(b, h + 8, l.vsizes[s], 4), Put(b, h + 12, l.rvas[s], 4), Put(b, h + 16, l.rawSize[s], 4);
    Put(b, h + 20, l.raw[s], 4), Put(b, h + 36, s == 0 ? 0x60000020 : 0x40000040, 4);
  }
}

// The code and, for each function, its entry in the function table.
inline void WriteCode(Bytes& b, const Program& p, const Layout& l) {
  const uint32_t dataRva = l.rvas[1], pdataRva = l.rvas[2];
  for (uint32_t f = 0; f < p.functions.size(); ++f) {
    uint32_t at = l.start[f];
    for (const Instruction& in : p.functions[f]) {
      const std::size_t o = l.File(at);
      const uint32_t end = at + kSizes[in.kind];
      if (in.kind == 0) b[o] = 0xE8, Put(b, o + 1, l.start[in.arg] - end, 4);
      if (in.kind == 1)
        b[o] = 0x48, b[o + 1] = 0x8D, b[o + 2] = 0x05,
        Put(b, o + 3, dataRva + 8 * (in.arg % p.pointers.size()) - end, 4);
      if (in.kind == 2) b[o] = 0x0F, b[o + 1] = 0x85, Put(b, o + 2, l.start[f] - end, 4);
      if (in.kind == 3) b[o] = 0xB8, Put(b, o + 1, in.arg, 4);
      if (in.kind == 4)
        b[o] = 0x48, b[o + 1] = 0x89, b[o + 2] = static_cast<unsigned char>(0xC0 | (in.arg & 63));
      at = end;
    }
    b[l.File(at)] = 0xC3;
    Put(b, l.File(pdataRva + 12 * f), l.start[f], 4), Put(b, l.File(pdataRva + 12 * f + 4), at + 1, 4);
    Put(b, l.File(pdataRva + 12 * f + 8), dataRva + l.vsizes[1] - 64, 4);
  }
}

// The pointers in .data, and a relocation block per page listing them.
inline void WritePointers(Bytes& b, const Program& p, const Layout& l) {
  std::size_t r = l.File(l.rvas[3]);
  for (uint32_t page = 0; page < l.pages; ++page) {
    const std::size_t block = r;
    r += 8;
    for (std::size_t i = 0; i < p.pointers.size(); ++i) {
      const uint32_t word = 8 * static_cast<uint32_t>(i);
      if (word / 0x1000 != page) continue;
      Put(b, l.File(l.rvas[1] + word), 0x140000000ull + l.start[p.pointers[i]], 8);
      Put(b, r, 0xA000 | (word % 0x1000), 2);
      r += 2;
    }
    Put(b, block, l.rvas[1] + page * 0x1000, 4), Put(b, block + 4, static_cast<uint32_t>(r - block), 4);
  }
}

inline Bytes Build(const Program& p) {
  const Layout l = MakeLayout(p);
  Bytes b(l.fileSize, 0);
  std::fill(b.begin() + l.raw[0], b.begin() + l.raw[1], 0xCC);  // int3 between functions, as compilers pad
  WriteHeaders(b, l);
  WriteCode(b, p, l);
  WritePointers(b, p, l);
  return b;
}

}  // namespace x64_pair
