#include "updater/transfer/pe_sections.h"

#include <algorithm>

namespace delta {
namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionCode = 0x20;
constexpr std::size_t kCoffHeaderSize = 24;  // with the signature
constexpr std::size_t kOptionalHeaderMin = 112;
constexpr std::size_t kSectionHeaderSize = 40;

uint32_t Le16(const unsigned char* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }
uint32_t Le32(const unsigned char* p) { return Le16(p) | Le16(p + 2) << 16; }
uint64_t Le64(const unsigned char* p) { return uint64_t{Le32(p)} | uint64_t{Le32(p + 4)} << 32; }

PeFileRange DirectoryRange(const PeSections& pe, const unsigned char* dir) {
  const uint32_t rva = Le32(dir), size = Le32(dir + 4);
  for (const PeSection& s : pe.sections) {
    if (rva < s.virtualAddress || rva - s.virtualAddress >= PeMappedSize(s)) continue;
    const uint32_t inside = rva - s.virtualAddress;
    if (size > PeMappedSize(s) - inside) return {};
    return {s.rawOffset + inside, size};
  }
  return {};
}

bool ReadSectionTable(const unsigned char* file, std::size_t size, std::size_t at, std::size_t count,
                      PeSections& out) {
  if (count > kPeMaxSections || at > size || count * kSectionHeaderSize > size - at) return false;
  out.sections.clear();
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* h = file + at + i * kSectionHeaderSize;
    PeSection s;
    std::copy(h, h + 8, s.name);
    s.virtualSize = Le32(h + 8);
    s.virtualAddress = Le32(h + 12);
    const uint32_t rawSize = Le32(h + 16), rawOffset = Le32(h + 20);
    const uint32_t flags = Le32(h + 36);
    // Data past the file's end is not there to read: clip it.
    s.rawOffset = rawOffset <= size ? rawOffset : static_cast<uint32_t>(size);
    s.rawSize = static_cast<uint32_t>(std::min<uint64_t>(rawSize, size - s.rawOffset));
    s.executable = (flags & (kSectionExecute | kSectionCode)) != 0;
    out.sections.push_back(s);
  }
  return true;
}

}  // namespace

bool ReadPeSections(const unsigned char* file, std::size_t size, PeSections& out) {
  if (size < 0x40 || size > UINT32_MAX || file[0] != 'M' || file[1] != 'Z') return false;
  const std::size_t pe = Le32(file + 0x3C);
  if (pe > size || size - pe < kCoffHeaderSize + kOptionalHeaderMin) return false;
  const unsigned char* coff = file + pe;
  if (Le32(coff) != 0x00004550 || Le16(coff + 4) != kMachineAmd64) return false;
  const std::size_t sectionCount = Le16(coff + 6), optionalSize = Le16(coff + 20);
  const unsigned char* opt = coff + kCoffHeaderSize;
  if (Le16(opt) != kMagicPe32Plus || optionalSize < kOptionalHeaderMin) return false;
  const std::size_t tableAt = pe + kCoffHeaderSize + optionalSize;
  if (!ReadSectionTable(file, size, tableAt, sectionCount, out)) return false;
  out.imageBase = Le64(opt + 24);
  out.imageSize = Le32(opt + 56);
  const std::size_t tableEnd = tableAt + sectionCount * kSectionHeaderSize;
  out.headersSize =
      static_cast<uint32_t>(std::min<std::size_t>(std::max<std::size_t>(Le32(opt + 60), tableEnd), size));
  const uint32_t dirCount = Le32(opt + 108);
  const std::size_t dirsFit = (optionalSize - kOptionalHeaderMin) / 8;
  const auto directory = [&](uint32_t index) {
    return index < dirCount && index < dirsFit ? DirectoryRange(out, opt + kOptionalHeaderMin + 8 * index)
                                               : PeFileRange{};
  };
  out.functionTable = directory(3);
  out.relocations = directory(5);
  return true;
}

uint32_t PeMappedSize(const PeSection& s) {
  return s.virtualSize != 0 ? std::min(s.rawSize, s.virtualSize) : s.rawSize;
}

bool PeFileOffset(const PeSections& pe, uint32_t rva, uint32_t& offset, uint32_t& room) {
  for (const PeSection& s : pe.sections) {
    if (rva >= s.virtualAddress && rva - s.virtualAddress < PeMappedSize(s)) {
      offset = s.rawOffset + (rva - s.virtualAddress);
      room = PeMappedSize(s) - (rva - s.virtualAddress);
      return true;
    }
  }
  return false;
}

bool PeRva(const PeSections& pe, uint32_t offset, uint32_t& rva) {
  if (offset < pe.headersSize) {
    rva = offset;
    return true;
  }
  for (const PeSection& s : pe.sections) {
    if (offset >= s.rawOffset && offset - s.rawOffset < PeMappedSize(s)) {
      rva = s.virtualAddress + (offset - s.rawOffset);
      return true;
    }
  }
  return false;
}

}  // namespace delta
