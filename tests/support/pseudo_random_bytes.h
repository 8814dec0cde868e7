#pragma once
// Deterministic bytes, the same on every platform: the digest tests' tables
// were taken from the first n bytes of this sequence.

#include <cstddef>
#include <cstdint>
#include <string>

inline std::string PseudoRandomBytes(std::size_t n) {
  std::string out(n, '\0');
  uint32_t x = 12345;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<char>((x >> 16) & 0xff);
  }
  return out;
}
