#include "updater/base/pe_exports.h"

#include <cstdint>
#include <utility>

namespace pe_exports {
namespace {

// Offsets into the PE headers (all fields little-endian).
constexpr std::size_t kLfanewOffset = 0x3C;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr std::size_t kMaxNameLength = 4096;

class ImageBytes {
 public:
  ImageBytes(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

  bool Has(std::size_t offset, std::size_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  bool U16(std::size_t offset, uint16_t& value) const {
    if (!Has(offset, 2)) return false;
    value = static_cast<uint16_t>(data_[offset] | data_[offset + 1] << 8);
    return true;
  }
  bool U32(std::size_t offset, uint32_t& value) const {
    if (!Has(offset, 4)) return false;
    value = static_cast<uint32_t>(data_[offset]) | static_cast<uint32_t>(data_[offset + 1]) << 8 |
            static_cast<uint32_t>(data_[offset + 2]) << 16 | static_cast<uint32_t>(data_[offset + 3]) << 24;
    return true;
  }
  // A NUL-terminated text that ends inside the bytes.
  bool Text(std::size_t offset, std::string& text) const {
    text.clear();
    for (std::size_t i = offset; i < size_ && text.size() <= kMaxNameLength; ++i) {
      if (data_[i] == 0) return true;
      text += static_cast<char>(data_[i]);
    }
    return false;
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
};

struct Section {
  uint32_t virtualAddress;
  uint32_t virtualSize;
  uint32_t rawOffset;
  uint32_t rawSize;
};

class AddressMap {
 public:
  AddressMap(Layout layout, std::vector<Section> sections)
      : layout_(layout), sections_(std::move(sections)) {}

  // The offset in the bytes of a relative virtual address.
  bool Offset(uint32_t rva, std::size_t& offset) const {
    if (layout_ == Layout::Image) {
      offset = rva;
      return true;
    }
    for (const Section& s : sections_) {
      uint32_t extent = s.virtualSize > s.rawSize ? s.rawSize : s.virtualSize;
      if (extent == 0) extent = s.rawSize;
      if (rva >= s.virtualAddress && rva - s.virtualAddress < extent) {
        offset = static_cast<std::size_t>(s.rawOffset) + (rva - s.virtualAddress);
        return true;
      }
    }
    return false;
  }

 private:
  Layout layout_;
  std::vector<Section> sections_;
};

// Where the export directory is: its RVA, 0 for an image without one, and
// where the section table starts. False for bytes that are no PE image.
bool FindExportDirectory(const ImageBytes& bytes, uint32_t& exportRva, std::size_t& sectionTable,
                         uint16_t& sectionCount) {
  uint16_t mz = 0;
  uint32_t lfanew = 0, signature = 0;
  if (!bytes.U16(0, mz) || mz != 0x5A4D || !bytes.U32(kLfanewOffset, lfanew)) return false;
  if (!bytes.U32(lfanew, signature) || signature != 0x00004550) return false;

  const std::size_t fileHeader = static_cast<std::size_t>(lfanew) + 4;
  uint16_t optionalSize = 0, magic = 0;
  if (!bytes.U16(fileHeader + 2, sectionCount) || !bytes.U16(fileHeader + 16, optionalSize)) return false;
  const std::size_t optional = fileHeader + kFileHeaderSize;
  if (!bytes.U16(optional, magic)) return false;
  sectionTable = optional + optionalSize;

  const std::size_t countOffset = magic == kPe32Magic ? 92 : magic == kPe32PlusMagic ? 108 : 0;
  if (countOffset == 0) return false;
  uint32_t directoryCount = 0, exportSize = 0;
  exportRva = 0;
  if (optionalSize < countOffset + 4 + 8 || !bytes.U32(optional + countOffset, directoryCount)) return false;
  if (directoryCount == 0) return true;
  return bytes.U32(optional + countOffset + 4, exportRva) &&
         bytes.U32(optional + countOffset + 8, exportSize);
}

bool ReadSections(const ImageBytes& bytes, std::size_t sectionTable, uint16_t sectionCount,
                  std::vector<Section>& sections) {
  for (std::size_t i = 0; i < sectionCount; ++i) {
    const std::size_t at = sectionTable + i * kSectionHeaderSize;
    Section s{};
    if (!bytes.U32(at + 8, s.virtualSize) || !bytes.U32(at + 12, s.virtualAddress) ||
        !bytes.U32(at + 16, s.rawSize) || !bytes.U32(at + 20, s.rawOffset)) {
      return false;
    }
    sections.push_back(s);
  }
  return true;
}

// The names of the export directory at exportRva, in table order.
bool ReadNameTable(const ImageBytes& bytes, const AddressMap& map, uint32_t exportRva,
                   std::vector<std::string>& names) {
  std::size_t directory = 0;
  uint32_t nameCount = 0, namesRva = 0;
  if (!map.Offset(exportRva, directory) || !bytes.Has(directory, 40)) return false;
  if (!bytes.U32(directory + 24, nameCount) || !bytes.U32(directory + 32, namesRva)) return false;
  if (nameCount == 0) return true;

  std::size_t nameTable = 0;
  if (!map.Offset(namesRva, nameTable) || !bytes.Has(nameTable, static_cast<std::size_t>(nameCount) * 4)) {
    return false;
  }
  for (uint32_t i = 0; i < nameCount; ++i) {
    uint32_t nameRva = 0;
    std::size_t nameOffset = 0;
    std::string name;
    if (!bytes.U32(nameTable + static_cast<std::size_t>(i) * 4, nameRva) ||
        !map.Offset(nameRva, nameOffset) || !bytes.Text(nameOffset, name)) {
      return false;
    }
    names.push_back(std::move(name));
  }
  return true;
}

}  // namespace

bool ReadExportNames(const unsigned char* data, std::size_t size, Layout layout,
                     std::vector<std::string>& names) {
  names.clear();
  const ImageBytes bytes(data, size);
  uint32_t exportRva = 0;
  std::size_t sectionTable = 0;
  uint16_t sectionCount = 0;
  if (!FindExportDirectory(bytes, exportRva, sectionTable, sectionCount)) return false;
  if (exportRva == 0) return true;
  std::vector<Section> sections;
  if (!ReadSections(bytes, sectionTable, sectionCount, sections)) return false;
  return ReadNameTable(bytes, AddressMap(layout, std::move(sections)), exportRva, names);
}

}  // namespace pe_exports
