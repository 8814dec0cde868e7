#pragma once
// A record as updaters before journal version 2 wrote it: its line, a tab and
// the FNV-1a checksum of the line, a newline; no newline before it.

#include <cstdint>
#include <cstdio>
#include <string>

inline std::string LegacyJournalLine(const std::string& text) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(hash));
  return text + "\t" + hex + "\n";
}
