// The x64 program transform: instruction lengths, the address map, the
// transform's inverse on any bytes, and patches between two builds.

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "tests/publish/x64_program_pair.h"
#include "tools/publish/delta_encoder.h"
#include "updater/transfer/delta_patch.h"
#include "updater/transfer/pe_sections.h"
#include "updater/transfer/program_refs.h"
#include "updater/transfer/rva_map.h"
#include "updater/transfer/x64_length.h"

namespace {

using Bytes = std::vector<unsigned char>;
using delta::X64Reference;

struct LengthCase {
  Bytes code;
  uint32_t length;
  X64Reference reference;
  uint32_t fieldAt;
};

TEST(X64Length, DecodesLengthsAndReferenceFields) {
  const X64Reference none = X64Reference::kNone, rel = X64Reference::kRel32, rip = X64Reference::kRipDisp32;
  const std::vector<LengthCase> cases = {
      {{0xE8, 1, 2, 3, 4}, 5, rel, 1},                                 // call rel32
      {{0x0F, 0x84, 1, 2, 3, 4}, 6, rel, 2},                           // je rel32
      {{0x48, 0x8D, 0x05, 1, 2, 3, 4}, 7, rip, 3},                     // lea rax, [rip+d]
      {{0xC7, 0x05, 1, 2, 3, 4, 5, 6, 7, 8}, 10, rip, 2},              // mov dword [rip+d], imm32
      {{0x66, 0xC7, 0x05, 1, 2, 3, 4, 5, 6}, 9, rip, 3},               // mov word [rip+d], imm16
      {{0x80, 0x3D, 1, 2, 3, 4, 9}, 7, rip, 2},                        // cmp byte [rip+d], imm8
      {{0xF7, 0x05, 1, 2, 3, 4, 5, 6, 7, 8}, 10, rip, 2},              // test dword [rip+d], imm32
      {{0xF7, 0x1D, 1, 2, 3, 4}, 6, rip, 2},                           // neg dword [rip+d]: no immediate
      {{0x8B, 0x04, 0x25, 1, 2, 3, 4}, 7, none, 0},                    // mov eax, [abs32] via SIB: not RIP
      {{0x48, 0x8B, 0x44, 0x24, 8}, 5, none, 0},                       // mov rax, [rsp+8]
      {{0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, 10, none, 0},             // mov rax, imm64
      {{0x66, 0x0F, 0x3A, 0x0F, 0x05, 1, 2, 3, 4, 7}, 10, rip, 5},     // palignr xmm0, [rip+d], 7
      {{0xC5, 0xF8, 0x28, 0x05, 1, 2, 3, 4}, 8, rip, 4},               // vmovaps xmm0, [rip+d]
      {{0xC4, 0xE3, 0x79, 0x04, 0x05, 1, 2, 3, 4, 1}, 10, rip, 5},     // vpermilps xmm0, [rip+d], 1
      {{0x62, 0xF1, 0x7C, 0x48, 0x28, 0x05, 1, 2, 3, 4}, 10, rip, 6},  // vmovaps zmm0, [rip+d]
      {{0xEB, 5}, 2, none, 0},
      {{0xC8, 1, 2, 3}, 4, none, 0},
      {{0xA1, 1, 2, 3, 4, 5, 6, 7, 8}, 9, none, 0},  // mov eax, [moffs64]
      {{0x06}, 0, none, 0},                          // no such opcode in 64-bit mode
      {{0xE8, 1, 2, 3}, 0, none, 0},                 // cut
      {Bytes(15, 0x66), 0, none, 0},                 // prefixes only
  };
  for (const LengthCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.code));
    const delta::X64Instruction in = delta::DecodeX64(c.code.data(), c.code.size());
    EXPECT_EQ(in.length, c.length);
    EXPECT_EQ(in.reference, c.reference);
    if (c.reference != none) EXPECT_EQ(in.fieldAt, c.fieldAt);
  }
}

TEST(RvaMap, MapsEveryAddressBothWaysAndRefusesOverlaps) {
  delta::RvaMap map;
  ASSERT_TRUE(map.Assign({{0x1000, 0x1200, 0x100}, {0x2000, 0x1000, 0x80}, {0xFFFFFF00, 0, 0x100}}));
  EXPECT_EQ(map.Forward(0x1010), 0x1210u);
  EXPECT_EQ(map.Forward(0x2004), 0x1004u);
  EXPECT_EQ(map.Backward(0x10), 0xFFFFFF10u);
  std::mt19937 rng(5);
  for (int i = 0; i < 20000; ++i) {
    const uint32_t rva = i < 10000 ? static_cast<uint32_t>(rng()) : 0x0F00 + i % 0x1400;
    EXPECT_EQ(map.Backward(map.Forward(rva)), rva) << rva;
    EXPECT_EQ(map.Forward(map.Backward(rva)), rva) << rva;
  }
  const std::vector<std::vector<delta::RvaSegment>> refused = {
      {{0x1000, 0x5000, 0x100}, {0x1080, 0x9000, 0x10}},  // new sides overlap
      {{0x1000, 0x5000, 0x100}, {0x3000, 0x50FF, 0x10}},  // old sides overlap
      {{0x1000, 0x5000, 0}},
      {{0xFFFFFFF0, 0x5000, 0x11}},
  };
  for (const auto& segments : refused) EXPECT_FALSE(map.Assign(segments));
  EXPECT_EQ(map.Forward(0x1010), 0x1210u);  // unchanged by a refused map
}

// A PE as the generator makes it, with one header or table field changed.
Bytes Lying(std::size_t at, uint64_t value, int n) {
  Bytes pe = x64_pair::Build(x64_pair::MakeProgram(3, 40));
  if (at + n <= pe.size()) x64_pair::Put(pe, at, value, n);
  return pe;
}

TEST(ProgramTransform, DecodingUndoesEncodingOnAnyBytes) {
  const std::size_t opt = 0x98, text = opt + 0xF0, reloc = opt + 0xF0 + 3 * 40;
  std::string noise(20000, '\0');
  std::mt19937 rng(11);
  for (char& c : noise) c = static_cast<char>(rng());
  Bytes random(noise.begin(), noise.end());
  random[0] = 'M', random[1] = 'Z';
  x64_pair::Put(random, 0x3C, 0x40, 4), x64_pair::Put(random, 0x40, 0x86644550, 4);
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"plain", Lying(0, 'M', 1)},
      {"sections_past_end", Lying(text + 20, 0xFFFFF000, 4)},
      {"section_huge", Lying(text + 16, 0xFFFFFFFF, 4)},
      {"text_over_headers", Lying(text + 20, 0, 4)},
      {"reloc_over_text", Lying(reloc + 20, 0x400, 4)},
      {"reloc_directory_huge", Lying(opt + 116 + 40, 0xFFFFFFF0, 4)},
      {"function_table_in_headers", Lying(opt + 112 + 24, 0x10, 4)},
      {"too_many_sections", Lying(0x86, 200, 2)},
      {"pe_offset_past_end", Lying(0x3C, 0xFFFFFF00, 4)},
      {"random_behind_headers", random},
  };
  delta::RvaMap map;
  ASSERT_TRUE(map.Assign({{0x1000, 0x1300, 0x700}, {0x1700, 0x1000, 0x300}, {0x4000, 0x3F00, 0x100000}}));
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    delta::PeSections pe;
    if (!delta::ReadPeSections(bytes.data(), bytes.size(), pe)) continue;
    Bytes changed = bytes;
    delta::TransformProgram(changed.data(), changed.size(), pe, map, delta::ProgramDirection::kEncode);
    if (std::string(name) == "plain") EXPECT_NE(changed, bytes);
    delta::PeSections again;
    ASSERT_TRUE(delta::ReadPeSections(changed.data(), changed.size(), again));
    delta::TransformProgram(changed.data(), changed.size(), again, map, delta::ProgramDirection::kDecode);
    EXPECT_EQ(changed, bytes);
  }
}

struct BuildPair {
  const char* name;
  int functions, at, inserted;
};

TEST(ProgramTransform, PatchesBetweenBuildsRoundTripAndBeatThePlainFormat) {
  for (const BuildPair& c : std::vector<BuildPair>{
           {"insert_early", 3000, 40, 30}, {"insert_late", 2000, 1900, 5}, {"edits_only", 1500, 0, 0}}) {
    SCOPED_TRACE(c.name);
    const x64_pair::Program old = x64_pair::MakeProgram(1, c.functions);
    const Bytes base = x64_pair::Build(old),
                target = x64_pair::Build(x64_pair::NextBuild(old, c.at, c.inserted));
    delta::PeSections pe;
    ASSERT_TRUE(delta::ReadPeSections(target.data(), target.size(), pe));
    const delta::ProgramReferenceCounts counts =
        delta::CountProgramReferences(target.data(), target.size(), pe);
    EXPECT_GT(counts.code, 4u * c.functions);
    EXPECT_EQ(counts.functions, 3u * (c.functions + c.inserted));
    EXPECT_EQ(counts.relocations, static_cast<std::size_t>(c.functions / 2));
    Bytes plain, program;
    ASSERT_TRUE(delta::MakePatch(base, target, plain, 2));
    ASSERT_TRUE(delta::MakePatch(base, target, program));
    EXPECT_EQ(program[4], 3);
    EXPECT_EQ(program[5], delta::kPatchFlagX64Program);
    EXPECT_TRUE(delta::PatchMakesTarget(program, base, target));
    EXPECT_LT(program.size() * 2, plain.size()) << program.size() << " vs " << plain.size();
  }
}

// A version 3 patch whose map stream is given raw.
Bytes WithMap(const Bytes& patch, const Bytes& rawMap, unsigned char flags) {
  uLongf size = compressBound(static_cast<uLong>(rawMap.size()));
  Bytes packed(size);
  compress2(packed.data(), &size, rawMap.data(), static_cast<uLong>(rawMap.size()), 9);
  packed.resize(size);
  delta::PatchHeader h;
  EXPECT_TRUE(delta::ReadPatchHeader({patch.data(), patch.size()}, h));
  Bytes out(patch.begin(), patch.end() - static_cast<std::ptrdiff_t>(h.programMapLength));
  out.insert(out.end(), packed.begin(), packed.end());
  h.programMapLength = packed.size();
  h.flags = flags;
  delta::WritePatchHeader(h, out.data());
  return out;
}

TEST(ProgramTransform, BrokenMapsAndHeadersFailCleanly) {
  const x64_pair::Program old = x64_pair::MakeProgram(1, 300);
  const Bytes base = x64_pair::Build(old), target = x64_pair::Build(x64_pair::NextBuild(old, 10, 3));
  Bytes good;
  ASSERT_TRUE(delta::MakePatch(base, target, good));
  ASSERT_EQ(good[4], 3);
  const unsigned char program = delta::kPatchFlagX64Program;
  const std::vector<std::tuple<const char*, Bytes, delta::PatchStatus>> cases = {
      {"overlapping_segments", WithMap(good, {0, 0, 16, 0, 31, 16}, program), delta::PatchStatus::kCorrupt},
      {"segment_past_2^32", WithMap(good, {0xF8, 0xFF, 0xFF, 0xFF, 0x0F, 0, 0x10}, program),
       delta::PatchStatus::kCorrupt},
      {"empty_segment", WithMap(good, {0, 0, 0}, program), delta::PatchStatus::kCorrupt},
      {"segment_cut", WithMap(good, {0, 0}, program), delta::PatchStatus::kCorrupt},
      {"map_without_flag", WithMap(good, {0, 0, 16}, 0), delta::PatchStatus::kCorrupt},
      {"both_transforms", WithMap(good, {}, program | delta::kPatchFlagBranchTargets),
       delta::PatchStatus::kBadHeader},
      {"unknown_flag", WithMap(good, {}, 4), delta::PatchStatus::kBadHeader},
      {"another_map", WithMap(good, {0, 0x20, 0x40}, program), delta::PatchStatus::kApplied},
  };
  for (const auto& [name, patch, status] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(delta::ApplyPatch({patch.data(), patch.size()}, {base.data(), base.size()},
                                [](const unsigned char*, std::size_t) { return true; }),
              status);
  }
  // Another map applies, but makes other bytes.
  EXPECT_FALSE(delta::PatchMakesTarget(std::get<1>(cases.back()), base, target));
  Bytes cut = good;
  x64_pair::Put(cut, 16, uint64_t{1} << 32, 8);  // the transform's target must fit 32-bit offsets
  EXPECT_EQ(delta::ApplyPatch({cut.data(), cut.size()}, {base.data(), base.size()},
                              [](const unsigned char*, std::size_t) { return true; }),
            delta::PatchStatus::kBadHeader);
}

}  // namespace
