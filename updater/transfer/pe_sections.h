#pragma once
// The parts of an x64 PE file (PE32+, machine AMD64) that the program
// reference transform needs, read from the file's bytes: image base, the
// headers' extent, the section table and where the base relocations and the
// function table (.pdata) lie. Every field read is checked against the
// file's size; bytes that are not such a PE, or whose tables lie outside the
// file, give false. Nothing here points into the file, so the caller may
// change the bytes outside the headers and the relocation table afterwards.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace delta {

struct PeSection {
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;  // file offset of its data
  uint32_t rawSize = 0;    // bytes of data in the file (clipped to the file's end)
  bool executable = false;
  char name[8] = {};
};

// A table given by a data directory, as a file range (empty when absent or
// not within one section's file data).
struct PeFileRange {
  uint32_t offset = 0;
  uint32_t size = 0;
};

struct PeSections {
  uint64_t imageBase = 0;
  uint32_t imageSize = 0;
  uint32_t headersSize = 0;  // file bytes before which no section data is used
  std::vector<PeSection> sections;
  PeFileRange relocations;    // data directory 5
  PeFileRange functionTable;  // data directory 3: 12-byte entries of 3 RVAs
};

constexpr std::size_t kPeMaxSections = 96;

bool ReadPeSections(const unsigned char* file, std::size_t size, PeSections& out);

// The bytes of a section's file data that RVAs may name: not past its virtual
// size (the rest of the raw data is padding).
uint32_t PeMappedSize(const PeSection& section);

// File offset of rva, when it lies in one section's file data; room is then
// how many bytes of that data follow it.
bool PeFileOffset(const PeSections& pe, uint32_t rva, uint32_t& offset, uint32_t& room);

// The RVA of file offset, when it lies in the headers or a section's data.
bool PeRva(const PeSections& pe, uint32_t offset, uint32_t& rva);

}  // namespace delta
