// Patches made by the publisher and applied as the updater applies them.

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "tests/support/pseudo_random_bytes.h"
#include "tools/publish/delta_encoder.h"
#include "updater/transfer/branch_targets.h"
#include "updater/transfer/delta_patch.h"

namespace {

using Bytes = std::vector<unsigned char>;
using delta::PatchStatus;

Bytes Random(std::size_t n, std::size_t skip = 0) {
  std::string s = PseudoRandomBytes(n + skip).substr(skip);
  return Bytes(s.begin(), s.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Slice(const Bytes& b, std::size_t from, std::size_t n) {
  return Bytes(b.begin() + from, b.begin() + from + n);
}

// Applies, checking on the way that nothing goes past the header's target length.
PatchStatus Apply(const Bytes& patch, const Bytes& base, Bytes& out) {
  delta::PatchHeader header;
  bool known = delta::ReadPatchHeader({patch.data(), patch.size()}, header);
  return delta::ApplyPatch({patch.data(), patch.size()}, {base.data(), base.size()},
                           [&](const unsigned char* data, std::size_t size) {
                             EXPECT_TRUE(known);
                             EXPECT_LE(size, delta::kPatchOutputPiece);
                             out.insert(out.end(), data, data + size);
                             EXPECT_LE(out.size(), header.targetLength);
                             return true;
                           });
}

void SetLe32(Bytes& b, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// Random bytes with a call or jump every 13 to 19 bytes, each to a place
// within the buffer; `moved` bytes inserted at `at` give the next build of it:
// every call after the insertion and every target past it moves.
Bytes X86Like(std::size_t n, std::size_t at = 0, std::size_t moved = 0) {
  Bytes code = Random(n, 5);
  std::vector<std::pair<std::size_t, std::size_t>> calls;  // (site, target)
  for (std::size_t i = 0; i + 5 <= n; i += 13 + code[i] % 7) {
    calls.emplace_back(i, (i * 2654435761u + code[i + 1]) % (n / 8));  // library code at the front
  }
  for (auto [site, target] : calls) {
    code[site] = static_cast<unsigned char>(0xE8 | (target & 1));
    SetLe32(code, site + 1, static_cast<uint32_t>(target - site - 5));
  }
  if (moved == 0) return code;
  Bytes next = Cat({Slice(code, 0, at), Random(moved, 77), Slice(code, at, n - at)});
  const auto shift = [&](std::size_t p) { return p >= at ? p + moved : p; };
  for (auto [site, target] : calls) {
    if (site < at && site + 5 > at) continue;  // cut by the insertion
    SetLe32(next, shift(site) + 1, static_cast<uint32_t>(shift(target) - shift(site) - 5));
  }
  return next;
}

struct RoundTrip {
  const char* name;
  Bytes base;
  Bytes target;
  double maxRatio;  // patch size over target size, when the target is large
};

std::vector<RoundTrip> RoundTrips() {
  Bytes r = Random(300000);
  Bytes edited = r;
  for (std::size_t i = 1000; i < edited.size(); i += 40000) edited[i] ^= 0x55;
  // Code moved by a few bytes: every 4-byte "address" shifted by 16.
  Bytes shifted = r;
  for (std::size_t i = 0; i + 4 <= shifted.size(); i += 64)
    shifted[i] = static_cast<unsigned char>(shifted[i] + 16);
  return {
      {"empty_base", {}, Random(5000), 1.1},
      {"empty_target", r, {}, 1},
      {"both_empty", {}, {}, 1},
      {"identical", r, r, 0.01},
      {"appended", r, Cat({r, Random(1000, 7)}), 0.02},
      {"inserted", r, Cat({Slice(r, 0, 100000), Random(3000, 9), Slice(r, 100000, 200000)}), 0.03},
      {"deleted", r, Cat({Slice(r, 0, 100000), Slice(r, 150000, 150000)}), 0.01},
      {"shuffled_blocks", r, Cat({Slice(r, 200000, 100000), Slice(r, 0, 100000), Slice(r, 100000, 100000)}),
       0.01},
      {"sparse_edits", r, edited, 0.01},
      {"small_shifts", r, shifted, 0.05},
      {"random_data", Random(100000, 3), Random(100000, 50001), 1.1},
      {"one_byte", {1}, {2}, 100},
      {"zeros", Bytes(200000, 0), Cat({Bytes(100000, 0), {1}, Bytes(150000, 0)}), 0.01},
      {"x86_code_moved", X86Like(300000), X86Like(300000, 120001, 48), 0.1},
  };
}

TEST(DeltaPatch, RoundTripsMakeTheTargetAndStaySmall) {
  for (const RoundTrip& c : RoundTrips()) {
    Bytes patches[2];
    for (unsigned char version : {1, 2}) {
      SCOPED_TRACE(std::string(c.name) + " version " + std::to_string(version));
      Bytes& patch = patches[version - 1];
      ASSERT_TRUE(delta::MakePatch(c.base, c.target, patch, version));
      EXPECT_EQ(patch[4], version);
      Bytes out;
      EXPECT_EQ(Apply(patch, c.base, out), PatchStatus::kApplied);
      EXPECT_TRUE(out == c.target);
      EXPECT_TRUE(delta::PatchMakesTarget(patch, c.base, c.target));
      if (c.target.size() >= 100000) EXPECT_LE(patch.size(), c.maxRatio * c.target.size());
    }
    SCOPED_TRACE(c.name);
    // Version 2 codes runs (and branch targets in code): never larger beyond
    // its header and two empty streams, much smaller where the diff is mostly
    // zeros.
    EXPECT_LE(patches[1].size(), patches[0].size() + 40);
    const bool code = std::string(c.name).rfind("x86", 0) == 0;
    EXPECT_EQ(patches[1][5], code ? delta::kPatchFlagBranchTargets : 0);
    if (code || std::string(c.name) == "small_shifts") EXPECT_LT(patches[1].size() * 2, patches[0].size());
  }
}

struct BranchCase {
  const char* name;
  Bytes data;
  std::vector<std::size_t> changed;  // operand bytes encoding must change
  std::vector<std::size_t> kept;     // bytes it must leave
};

TEST(BranchTargets, EncodeDecodeAndReadingTheBaseInPlaceAgree) {
  const std::size_t block = delta::kBranchBlock;
  auto with = [](Bytes b, std::initializer_list<std::pair<std::size_t, Bytes>> parts) {
    for (const auto& [at, bytes] : parts) std::copy(bytes.begin(), bytes.end(), b.begin() + at);
    return b;
  };
  const Bytes call{0xE8, 0x10, 0, 0, 0}, far{0xE9, 0, 0, 0, 0x40};
  std::vector<BranchCase> cases = {
      {"code", X86Like(3 * block + 77), {}, {}},
      {"fits_at_end", with(Bytes(100, 0x90), {{95, call}}), {96}, {}},
      {"cut_at_end", with(Bytes(100, 0x90), {{96, {0xE8, 0x10, 0, 0}}}), {}, {97, 98, 99}},
      {"fits_at_block_end", with(Bytes(block + 10, 0x90), {{block - 5, call}}), {block - 3}, {}},
      {"cut_at_block_end", with(Bytes(block + 10, 0x90), {{block - 4, call}}), {}, {block - 3, block}},
      {"out_of_range", with(Bytes(100, 0x90), {{10, far}}), {}, {11, 14}},
      // the second E8 is the first one's operand, so the third is an opcode
      {"opcode_in_operand",
       with(Bytes(100, 0x90), {{10, {0xE8, 0xE8, 0, 0, 0, 0xE8, 3, 0, 0, 0}}}),
       {11, 16},
       {}},
      // E8 at 10 holds an operand out of range, yet no E8 inside it is an
      // opcode: encoding it would change what decoding sees at 10
      {"opcode_in_skipped_operand",
       with(Bytes(100, 0x90), {{10, {0xE8, 0x11, 0xE8, 0xF0, 0xFE, 0, 0}}}),
       {},
       {11, 13, 14}},
      {"random", Random(3 * block), {}, {}},
      {"empty", {}, {}, {}},
  };
  for (const BranchCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t n = c.data.size();
    Bytes encoded = c.data;
    delta::EncodeBranchTargets(encoded.data(), n, 0, n);
    for (std::size_t at : c.changed) EXPECT_NE(encoded[at], c.data[at]) << at;
    for (std::size_t at : c.kept) EXPECT_EQ(encoded[at], c.data[at]) << at;
    if (std::string(c.name) == "code") EXPECT_FALSE(encoded == c.data);
    // Block by block as the decoder's output pieces come.
    Bytes decoded = encoded;
    for (std::size_t from = 0; from < n; from += block) {
      delta::DecodeBranchTargets(decoded.data() + from, std::min(block, n - from), from, n);
    }
    EXPECT_TRUE(decoded == c.data);
    // Any window of the encoded file, read from the plain one.
    for (std::size_t from :
         {std::size_t{0}, std::size_t{1}, std::size_t{7}, block - 3, block, n / 2, n - 1}) {
      for (std::size_t size : {std::size_t{1}, std::size_t{4}, std::size_t{9}, block + 5, n}) {
        if (from >= n) continue;
        size = std::min(size, n - from);
        Bytes window(size, 0);
        delta::AddBranchTargetChange(c.data.data(), n, from, size, window.data());
        for (std::size_t i = 0; i < size; ++i)
          window[i] = static_cast<unsigned char>(window[i] + c.data[from + i]);
        EXPECT_TRUE(window == Slice(encoded, from, size)) << from << "+" << size;
      }
    }
  }
}

// A patch written by hand: raw streams, deflated, behind a header; version 2
// has the runs streams as well.
Bytes Handmade(uint64_t baseLength, uint64_t targetLength, const Bytes& control, const Bytes& diff,
               const Bytes& extra, unsigned char version = 1, const Bytes& zeroRuns = {},
               const Bytes& byteRuns = {}, unsigned char flags = 0) {
  Bytes streams[5] = {control, diff, extra, zeroRuns, byteRuns};
  Bytes packed[5];
  for (int i = 0; i < 5; ++i) {
    uLongf size = compressBound(static_cast<uLong>(streams[i].size()));
    packed[i].resize(size);
    compress2(packed[i].data(), &size, streams[i].data(), static_cast<uLong>(streams[i].size()), 9);
    packed[i].resize(size);
  }
  delta::PatchHeader h{baseLength, targetLength, packed[0].size(), packed[1].size(), packed[2].size(),
                       version,    flags,        packed[3].size(), packed[4].size()};
  Bytes patch(delta::PatchHeaderSize(version));
  delta::WritePatchHeader(h, patch.data());
  return version >= 2 ? Cat({patch, packed[0], packed[1], packed[2], packed[3], packed[4]})
                      : Cat({patch, packed[0], packed[1], packed[2]});
}

void SetLe64(Bytes& p, std::size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

struct Malformed {
  const char* name;
  Bytes patch;
  PatchStatus status;
};

TEST(DeltaPatch, MalformedPatchesFailCleanly) {
  const Bytes base = Random(1000);
  Bytes good;
  Bytes target = Cat({Slice(base, 0, 600), Random(50, 11), Slice(base, 700, 300)});
  ASSERT_TRUE(delta::MakePatch(base, target, good));
  auto edit = [&](auto change) {
    Bytes p = good;
    change(p);
    return p;
  };
  const Bytes zero10(10, 0);
  std::vector<Malformed> cases = {
      {"empty", {}, PatchStatus::kBadHeader},
      {"cut", Slice(good, 0, good.size() - 1), PatchStatus::kBadHeader},
      {"padded", Cat({good, {0}}), PatchStatus::kBadHeader},
      {"magic", edit([](Bytes& p) { p[0] = 'X'; }), PatchStatus::kBadHeader},
      {"version", edit([](Bytes& p) { p[4] = 3; }), PatchStatus::kBadHeader},
      {"version_0", edit([](Bytes& p) { p[4] = 0; }), PatchStatus::kBadHeader},
      {"unknown_flag", edit([](Bytes& p) { p[5] = 2; }), PatchStatus::kBadHeader},
      {"flag_in_version_1", Handmade(1000, 10, {0, 10, 0}, zero10, {}, 1, {}, {}, 1),
       PatchStatus::kBadHeader},
      {"version_2_header_cut", Slice(good, 0, 60), PatchStatus::kBadHeader},
      {"reserved", edit([](Bytes& p) { p[6] = 1; }), PatchStatus::kBadHeader},
      {"stream_lengths_wrap", edit([](Bytes& p) { SetLe64(p, 24, ~uint64_t{0}); }), PatchStatus::kBadHeader},
      {"base_length", edit([](Bytes& p) { SetLe64(p, 8, 999); }), PatchStatus::kWrongBase},
      {"huge_target", edit([](Bytes& p) { SetLe64(p, 16, uint64_t{1} << 62); }), PatchStatus::kCorrupt},
      {"short_target", edit([](Bytes& p) { SetLe64(p, 16, 900); }), PatchStatus::kCorrupt},
      {"stream_byte", edit([](Bytes& p) { p[delta::kPatchHeaderSizeV2 + 5] ^= 0xFF; }),
       PatchStatus::kCorrupt},
      {"streams_shifted", edit([](Bytes& p) {
         SetLe64(p, 24, p[24] + 1);
         SetLe64(p, 32, p[32] - 1);
       }),
       PatchStatus::kCorrupt},
      // the second add reads 10 bytes from 995 (the records are seek, add, extra): past the base's end
      {"add_past_base", Handmade(1000, 20, {0, 10, 0, 0xB2, 0x0F, 10, 0}, Bytes(20, 0), {}),
       PatchStatus::kCorrupt},
      {"seek_before_base", Handmade(1000, 20, {0, 10, 0, 21, 10, 0}, Bytes(20, 0), {}),
       PatchStatus::kCorrupt},
      {"empty_record", Handmade(1000, 10, {0, 0, 0, 10, 0, 0}, zero10, {}), PatchStatus::kCorrupt},
      {"diff_short", Handmade(1000, 10, {0, 10, 0}, Bytes(9, 0), {}), PatchStatus::kCorrupt},
      {"diff_left_over", Handmade(1000, 10, {0, 10, 0}, Bytes(11, 0), {}), PatchStatus::kCorrupt},
      {"extra_short", Handmade(1000, 10, {0, 0, 10}, {}, Bytes(9, 7)), PatchStatus::kCorrupt},
      {"record_left_over", Handmade(1000, 10, {0, 10, 0, 0, 1, 0}, zero10, {}), PatchStatus::kCorrupt},
      {"record_cut", Handmade(1000, 10, {0, 10}, zero10, {}), PatchStatus::kCorrupt},
      {"varint_too_long", Handmade(1000, 10, Bytes(11, 0x80), zero10, {}), PatchStatus::kCorrupt},
      {"record_past_target", Handmade(1000, 10, {0, 11, 0}, Bytes(11, 0), {}), PatchStatus::kCorrupt},
      {"raw_streams", edit([](Bytes& p) { p[delta::kPatchHeaderSizeV2] = 0; }), PatchStatus::kCorrupt},
      // version 2: pairs of run lengths, zeros then bytes of the diff stream
      {"zero_run_long", Handmade(1000, 10, {0, 10, 0}, {}, {}, 2, {11}, {0}), PatchStatus::kCorrupt},
      {"zero_run_short", Handmade(1000, 10, {0, 10, 0}, {}, {}, 2, {9}, {0}), PatchStatus::kCorrupt},
      {"byte_run_past_diff", Handmade(1000, 10, {0, 10, 0}, {1, 2}, {}, 2, {0}, {10}), PatchStatus::kCorrupt},
      {"diff_bytes_left_over", Handmade(1000, 10, {0, 10, 0}, {1, 2}, {}, 2, {9}, {1}),
       PatchStatus::kCorrupt},
      {"empty_run_pair", Handmade(1000, 10, {0, 10, 0}, {}, {}, 2, {0, 10}, {0, 0}), PatchStatus::kCorrupt},
      {"runs_left_over", Handmade(1000, 10, {0, 10, 0}, {}, {}, 2, {10, 5}, {0, 0}), PatchStatus::kCorrupt},
      {"run_pair_cut", Handmade(1000, 10, {0, 10, 0}, {}, {}, 2, {10}, {}), PatchStatus::kCorrupt},
      {"run_varint_too_long", Handmade(1000, 10, {0, 10, 0}, {}, {}, 2, Bytes(10, 0x80), {0}),
       PatchStatus::kCorrupt},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    EXPECT_EQ(Apply(c.patch, base, out), c.status);
  }
  // The handmade writer itself makes patches that apply, in both versions.
  Bytes out;
  EXPECT_EQ(Apply(Handmade(1000, 15, {0, 10, 5}, zero10, Bytes(5, 7)), base, out), PatchStatus::kApplied);
  EXPECT_TRUE(out == Cat({Slice(base, 0, 10), Bytes(5, 7)}));
  out.clear();
  EXPECT_EQ(Apply(Handmade(1000, 15, {0, 10, 5}, {1, 2}, Bytes(5, 7), 2, {3, 1, 4}, {1, 1, 0}), base, out),
            PatchStatus::kApplied);
  Bytes added = Slice(base, 0, 10);
  added[3] += 1;
  added[5] += 2;
  EXPECT_TRUE(out == Cat({added, Bytes(5, 7)}));
}

TEST(DeltaPatch, RefusingSinkStopsTheApply) {
  const Bytes base = Random(3 * delta::kPatchOutputPiece);
  Bytes patch;
  ASSERT_TRUE(delta::MakePatch(base, base, patch));
  int calls = 0;
  PatchStatus status = delta::ApplyPatch({patch.data(), patch.size()}, {base.data(), base.size()},
                                         [&](const unsigned char*, std::size_t) { return ++calls < 2; });
  EXPECT_EQ(status, PatchStatus::kSinkFailed);
  EXPECT_EQ(calls, 2);
}

}  // namespace

namespace {

// A stream longer than the encoder compresses whole goes through zlib as it
// comes: all extra bytes here, from an empty base.
TEST(DeltaPatch, StreamsPastTheWholeBufferRoundTrip) {
  const Bytes target = Random((9 << 20) + 5, 13);
  Bytes patch;
  ASSERT_TRUE(delta::MakePatch({}, target, patch));
  EXPECT_TRUE(delta::PatchMakesTarget(patch, {}, target));
  EXPECT_LE(patch.size(), target.size() + target.size() / 100);
}

}  // namespace
