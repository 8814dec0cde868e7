// Applying a patch on disk: a header's target bounds the output before a byte
// is written, a patch no smaller than its output is refused, and the piece
// callback stops the apply (a cancel).

#include <windows.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/win_test_files.h"
#include "updater/base/scoped_handle.h"
#include "updater/transfer/delta_patch.h"
#include "updater/transfer/patch_file.h"

namespace {

using namespace win_test;

std::string Deflated(const std::string& bytes) {
  uLongf size = compressBound(static_cast<uLong>(bytes.size()));
  std::string out(size, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(bytes.data()),
                      static_cast<uLong>(bytes.size()), 9),
            Z_OK);
  out.resize(size);
  return out;
}

// A patch whose one instruction adds nothing from the base and writes extra
// as it is; its header claims claimedTarget bytes of output.
std::string ExtraOnlyPatch(const std::string& extra, uint64_t claimedTarget) {
  std::string control;
  for (uint64_t value : {uint64_t{0}, uint64_t{0}, uint64_t{extra.size()}}) {
    do {
      control.push_back(static_cast<char>((value & 0x7F) | (value > 0x7F ? 0x80 : 0)));
      value >>= 7;
    } while (value != 0);
  }
  const std::string streams[] = {Deflated(control), Deflated(std::string()), Deflated(extra)};
  delta::PatchHeader header;
  header.baseLength = 0;
  header.targetLength = claimedTarget;
  header.controlLength = streams[0].size();
  header.diffLength = streams[1].size();
  header.extraLength = streams[2].size();
  unsigned char head[delta::kPatchHeaderSize];
  delta::WritePatchHeader(header, head);
  return std::string(reinterpret_cast<char*>(head), sizeof head) + streams[0] + streams[1] + streams[2];
}

TEST(ApplyPatchFile, TheHeaderBoundsTheOutputAndTheCallbackStopsIt) {
  const std::string folder = UniqueFolder("patch");
  const std::string extra(3 * delta::kPatchOutputPiece, 'z');  // deflates to a few KiB
  const struct {
    const char* name;
    uint64_t claimed;
    uint64_t limit;
    int piecesBeforeStop;  // -1: never stops
    PatchFileStatus status;
  } rows[] = {
      {"applies", extra.size(), extra.size(), -1, PatchFileStatus::kApplied},
      {"target over the limit", 2200ull << 20, extra.size(), -1, PatchFileStatus::kTargetTooLong},
      {"not smaller than its output", 16, extra.size(), -1, PatchFileStatus::kNotSmaller},
      {"cancelled after one piece", extra.size(), extra.size(), 1, PatchFileStatus::kStopped},
  };
  WriteBytes(folder + "\\base", std::string());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    WriteBytes(folder + "\\patch", ExtraOnlyPatch(extra, row.claimed));
    UniqueFile patch(CreateFileA((folder + "\\patch").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    UniqueFile out(CreateFileA((folder + "\\out").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                               nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(patch && out);
    int pieces = 0;
    EXPECT_EQ(
        ApplyPatchFile(folder + "\\base", patch.get(), out.get(), row.limit,
                       [&](const unsigned char*, std::size_t) { return ++pieces != row.piecesBeforeStop; }),
        row.status);
    LARGE_INTEGER written{};
    GetFileSizeEx(out.get(), &written);
    const uint64_t expected = row.status == PatchFileStatus::kApplied   ? extra.size()
                              : row.status == PatchFileStatus::kStopped ? delta::kPatchOutputPiece
                                                                        : 0;
    EXPECT_EQ(static_cast<uint64_t>(written.QuadPart), expected);
  }
  RemoveTree(folder);
}

}  // namespace
