#include "updater/base/file_name_case.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "updater/base/text_rules.h"

namespace file_name_case {
namespace {

// first, first + stride, ... (count of them) map to themselves plus delta.
struct Run {
  uint16_t first;
  uint16_t count;
  uint16_t stride;
  int32_t delta;
};

constexpr Run kRuns[] = {
#include "updater/base/file_name_case_table.inc"
};

// The code point of the UTF-8 sequence at text[i], its length in len; -1
// when the bytes there are not a sequence of at most 3 bytes (a BMP one).
int32_t DecodeBmp(const std::string& text, std::size_t i, std::size_t& len) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) {
    len = 1;
    return c;
  }
  const std::size_t need = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 0;
  if (need == 0 || i + need > text.size()) return -1;
  int32_t cp = c & (need == 2 ? 0x1F : 0x0F);
  for (std::size_t k = 1; k < need; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < (need == 2 ? 0x80 : 0x800) || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  len = need;
  return cp;
}

void EncodeBmp(int32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

char16_t Upper(char16_t unit) {
  // The last run that starts at or before unit.
  const Run* run = std::upper_bound(std::begin(kRuns), std::end(kRuns), unit,
                                    [](char16_t u, const Run& r) { return u < r.first; });
  if (run == std::begin(kRuns)) return unit;
  --run;
  const uint32_t offset = static_cast<uint32_t>(unit) - run->first;
  if (offset % run->stride != 0 || offset / run->stride >= run->count) return unit;
  return static_cast<char16_t>(static_cast<int32_t>(unit) + run->delta);
}

std::u16string Fold(const std::u16string& name) {
  std::u16string folded = name;
  for (char16_t& unit : folded) unit = Upper(unit);
  return folded;
}

std::string FoldGbk(const std::string& name) {
  // lead byte, first and last small trail byte, distance to the capital
  struct Row {
    unsigned char lead, first, last;
    int toCapital;
  };
  static constexpr Row kRows[] = {
      {0xA2, 0xA1, 0xAA, +0x50},  // small roman numerals i-x
      {0xA3, 0xE1, 0xFA, -0x20},  // fullwidth a-z
      {0xA6, 0xC1, 0xD8, -0x20},  // Greek alpha-omega
      {0xA7, 0xD1, 0xF1, -0x30},  // Cyrillic a-ya with yo
  };
  std::string folded = name;
  for (std::size_t i = 0; i < folded.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(folded[i]);
    if (c >= 'a' && c <= 'z') {
      folded[i] = static_cast<char>(c - 'a' + 'A');
    } else if (IsGbkLeadByte(c) && i + 1 < folded.size()) {
      const unsigned char trail = static_cast<unsigned char>(folded[++i]);
      for (const Row& row : kRows) {
        if (c == row.lead && trail >= row.first && trail <= row.last) {
          folded[i] = static_cast<char>(trail + row.toCapital);
        }
      }
    }
  }
  return folded;
}

std::string FoldUtf8(const std::string& name) {
  std::string folded;
  folded.reserve(name.size());
  for (std::size_t i = 0; i < name.size();) {
    std::size_t len = 1;
    const int32_t cp = DecodeBmp(name, i, len);
    if (cp < 0) {
      folded += name[i++];  // a 4-byte sequence (no case in the table) or not UTF-8
      continue;
    }
    EncodeBmp(Upper(static_cast<char16_t>(cp)), folded);
    i += len;
  }
  return folded;
}

}  // namespace file_name_case
