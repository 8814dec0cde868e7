#include "updater/base/pe_exports.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using pe_exports::Layout;
using pe_exports::ReadExportNames;

namespace {

constexpr uint32_t kSectionRva = 0x1000;
constexpr uint32_t kSectionRaw = 0x400;
constexpr uint32_t kSectionSize = 0x400;

void Put16(std::vector<unsigned char>& b, std::size_t at, uint32_t v) {
  b[at] = v & 0xFF;
  b[at + 1] = (v >> 8) & 0xFF;
}
void Put32(std::vector<unsigned char>& b, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xFF;
}

// A minimal PE image with one section that holds the export directory and the
// given names, laid out as a mapping or as a file.
std::vector<unsigned char> MakeImage(const std::vector<std::string>& names, Layout layout,
                                     bool pe32Plus = true) {
  const std::size_t sectionAt = layout == Layout::Image ? kSectionRva : kSectionRaw;
  std::vector<unsigned char> b(sectionAt + kSectionSize, 0);
  Put16(b, 0, 0x5A4D);
  const uint32_t lfanew = 0x80;
  Put32(b, 0x3C, lfanew);
  Put32(b, lfanew, 0x00004550);
  const std::size_t fileHeader = lfanew + 4;
  Put16(b, fileHeader, pe32Plus ? 0x8664 : 0x14C);
  Put16(b, fileHeader + 2, 1);
  const uint16_t optionalSize = pe32Plus ? 240 : 224;
  Put16(b, fileHeader + 16, optionalSize);
  const std::size_t optional = fileHeader + 20;
  Put16(b, optional, pe32Plus ? 0x20B : 0x10B);
  const std::size_t directories = optional + (pe32Plus ? 108 : 92);
  Put32(b, directories, 16);
  Put32(b, directories + 4, kSectionRva);  // export directory at the section's start
  Put32(b, directories + 8, 40);
  const std::size_t section = optional + optionalSize;
  std::memcpy(&b[section], ".edata", 6);
  Put32(b, section + 8, kSectionSize);
  Put32(b, section + 12, kSectionRva);
  Put32(b, section + 16, kSectionSize);
  Put32(b, section + 20, kSectionRaw);

  // Directory (40 bytes), then the name pointer table, then the texts.
  Put32(b, sectionAt + 24, static_cast<uint32_t>(names.size()));
  Put32(b, sectionAt + 32, kSectionRva + 40);
  uint32_t text = 40 + 4 * static_cast<uint32_t>(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    Put32(b, sectionAt + 40 + 4 * i, kSectionRva + text);
    std::memcpy(&b[sectionAt + text], names[i].c_str(), names[i].size() + 1);
    text += static_cast<uint32_t>(names[i].size()) + 1;
  }
  return b;
}

const std::vector<std::string> kComExports = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                              "DllUnregisterServer"};

}  // namespace

TEST(PeExports, NamesAreReadInBothLayoutsAndBothWidths) {
  for (Layout layout : {Layout::Image, Layout::File}) {
    for (bool pe32Plus : {true, false}) {
      const std::vector<unsigned char> image = MakeImage(kComExports, layout, pe32Plus);
      std::vector<std::string> names;
      ASSERT_TRUE(ReadExportNames(image.data(), image.size(), layout, names));
      EXPECT_EQ(names, kComExports);
    }
  }
}

TEST(PeExports, AnImageWithoutExportsHasNoNames) {
  std::vector<unsigned char> image = MakeImage({}, Layout::Image);
  std::vector<std::string> names{"stale"};
  EXPECT_TRUE(ReadExportNames(image.data(), image.size(), Layout::Image, names));
  EXPECT_TRUE(names.empty());
}

TEST(PeExports, BytesThatAreNotAnImageAreRefused) {
  const std::vector<unsigned char> good = MakeImage(kComExports, Layout::File);
  std::vector<std::string> names;
  EXPECT_FALSE(ReadExportNames(nullptr, 0, Layout::File, names));
  const std::string text = "MZ this is not a library";
  EXPECT_FALSE(ReadExportNames(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                               Layout::File, names));

  struct Damage { const char* what; std::size_t at; uint32_t value; };
  const Damage damages[] = {
      {"e_lfanew beyond the end", 0x3C, 0x7FFFFFF0},
      {"PE signature", 0x80, 0x00004551},
      {"optional header magic", 0x98, 0x0107},
      {"name count far too large", kSectionRaw + 24, 0x40000000},
      {"name table outside", kSectionRaw + 32, 0xFFFFFFF0},
      {"one name outside", kSectionRaw + 40, 0x7FFFFFFF},
  };
  for (const Damage& d : damages) {
    std::vector<unsigned char> bad = good;
    Put32(bad, d.at, d.value);
    EXPECT_FALSE(ReadExportNames(bad.data(), bad.size(), Layout::File, names)) << d.what;
  }
}

TEST(PeExports, EveryTruncationIsRefusedOrReadWithinBounds) {
  // Run under AddressSanitizer: no cut may make the reader look past the end.
  const std::vector<unsigned char> good = MakeImage(kComExports, Layout::File);
  for (std::size_t size = 0; size < good.size(); ++size) {
    std::vector<unsigned char> cut(good.begin(), good.begin() + size);
    std::vector<std::string> names;
    if (ReadExportNames(cut.data(), cut.size(), Layout::File, names)) {
      EXPECT_EQ(names, kComExports) << size;
    }
  }
  // A name without its terminating NUL at the very end.
  std::vector<unsigned char> open = good;
  std::size_t last = open.size() - 1;
  while (open[last] == 0) --last;
  open.resize(last + 1);
  std::vector<std::string> names;
  EXPECT_FALSE(ReadExportNames(open.data(), open.size(), Layout::File, names));
}
