#include "updater/transfer/program_refs.h"

#include "updater/transfer/x64_length.h"

namespace delta {
namespace {

enum class Kind { kCode, kRva32, kAddress64 };

struct Reference {
  Kind kind;
  uint32_t offset;  // in the file
  uint32_t rva;     // of the field (code only)
  uint32_t end;     // RVA the code's displacement counts from: the instruction's end
};

uint32_t Le32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t Le64(const unsigned char* p) { return uint64_t{Le32(p)} | uint64_t{Le32(p + 4)} << 32; }
void PutLe32(uint32_t v, unsigned char* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutLe64(uint64_t v, unsigned char* p) {
  PutLe32(static_cast<uint32_t>(v), p);
  PutLe32(static_cast<uint32_t>(v >> 32), p + 4);
}

bool Overlaps(uint64_t a, uint64_t aSize, uint64_t b, uint64_t bSize) {
  return a < b + bSize && b < a + aSize;
}

// File ranges no table reference may touch: what is read to find references.
class Untouchable {
 public:
  explicit Untouchable(const PeSections& pe) : pe_(pe) {}

  // Whether section may be scanned as code, noting it when so.
  bool AddCode(const PeSection& s) {
    const uint32_t size = PeMappedSize(s);
    if (size == 0 || !s.executable || Hits(s.rawOffset, size)) return false;
    code_[codeCount_++] = {s.rawOffset, size};
    return true;
  }
  bool Hits(uint64_t offset, uint64_t size) const {
    if (offset < pe_.headersSize || Overlaps(offset, size, pe_.relocations.offset, pe_.relocations.size))
      return true;
    for (std::size_t i = 0; i < codeCount_; ++i) {
      if (Overlaps(offset, size, code_[i].offset, code_[i].size)) return true;
    }
    return false;
  }

 private:
  const PeSections& pe_;
  PeFileRange code_[kPeMaxSections];
  std::size_t codeCount_ = 0;
};

template <typename Visit>
void ForEachCodeReference(const unsigned char* file, const PeSection& s, Visit& visit) {
  const uint32_t size = PeMappedSize(s);
  const unsigned char* code = file + s.rawOffset;
  for (uint32_t at = 0; at < size;) {
    const X64Instruction in = DecodeX64(code + at, size - at);
    if (in.length == 0) {
      ++at;
      continue;
    }
    if (in.reference != X64Reference::kNone) {
      visit(Reference{Kind::kCode, s.rawOffset + at + in.fieldAt, s.virtualAddress + at + in.fieldAt,
                      s.virtualAddress + at + in.length});
    }
    at += in.length;
  }
}

template <typename Visit>
void ForEachRelocation(const unsigned char* file, const PeSections& pe, const Untouchable& untouchable,
                       Visit& visit) {
  constexpr unsigned kDir64 = 10;
  const uint64_t end = uint64_t{pe.relocations.offset} + pe.relocations.size;
  uint64_t lastEnd = 0;  // in file order only, so no two overlap
  for (uint64_t at = pe.relocations.offset; end - at >= 8;) {
    const uint32_t page = Le32(file + at), blockSize = Le32(file + at + 4);
    if (blockSize < 8 || blockSize > end - at) return;
    for (uint64_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
      const unsigned entry = file[e] | file[e + 1] << 8;
      const uint64_t rva = uint64_t{page} + (entry & 0xFFF);
      uint32_t offset = 0, room = 0;
      if (entry >> 12 != kDir64 || rva > UINT32_MAX ||
          !PeFileOffset(pe, static_cast<uint32_t>(rva), offset, room))
        continue;
      if (room < 8 || offset < lastEnd || untouchable.Hits(offset, 8) ||
          Overlaps(offset, 8, pe.functionTable.offset, pe.functionTable.size)) {
        continue;
      }
      lastEnd = uint64_t{offset} + 8;
      visit(Reference{Kind::kAddress64, offset, 0, 0});
    }
    at += blockSize;
  }
}

// Every reference, each once; visit may rewrite the reference's own bytes.
template <typename Visit>
void ForEachReference(const unsigned char* file, const PeSections& pe, Visit visit) {
  Untouchable untouchable(pe);
  for (const PeSection& s : pe.sections) {
    if (untouchable.AddCode(s)) ForEachCodeReference(file, s, visit);
  }
  const PeFileRange& table = pe.functionTable;
  for (uint64_t at = table.offset; at + 4 <= uint64_t{table.offset} + table.size / 12 * 12; at += 4) {
    if (!untouchable.Hits(at, 4)) visit(Reference{Kind::kRva32, static_cast<uint32_t>(at), 0, 0});
  }
  ForEachRelocation(file, pe, untouchable, visit);
}

}  // namespace

void TransformProgram(unsigned char* file, std::size_t size, const PeSections& pe, const RvaMap& map,
                      ProgramDirection direction) {
  (void)size;  // every range pe gives lies within the file it was read from
  const bool encode = direction == ProgramDirection::kEncode;
  const auto there = [&](uint32_t rva) { return encode ? map.Forward(rva) : map.Backward(rva); };
  ForEachReference(file, pe, [&](const Reference& r) {
    unsigned char* field = file + r.offset;
    if (r.kind == Kind::kAddress64) {
      const uint64_t rva = Le64(field) - pe.imageBase;
      if (rva <= UINT32_MAX) PutLe64(pe.imageBase + there(static_cast<uint32_t>(rva)), field);
    } else if (r.kind == Kind::kRva32) {
      PutLe32(there(Le32(field)), field);
    } else if (encode) {
      // As the old build would hold it: its target's old place, counted from
      // the old place of the instruction's end.
      const uint32_t target = r.end + Le32(field);
      PutLe32(map.Forward(target) - map.Forward(r.rva) - (r.end - r.rva), field);
    } else {
      const uint32_t target = map.Backward(Le32(field) + map.Forward(r.rva) + (r.end - r.rva));
      PutLe32(target - r.end, field);
    }
  });
}

ProgramReferenceCounts CountProgramReferences(const unsigned char* file, std::size_t, const PeSections& pe) {
  ProgramReferenceCounts counts;
  ForEachReference(file, pe, [&](const Reference& r) {
    ++(r.kind == Kind::kCode ? counts.code : r.kind == Kind::kRva32 ? counts.functions : counts.relocations);
  });
  return counts;
}

}  // namespace delta
