#include "updater/core/install_journal.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "updater/core/install_paths.h"
#include "updater/base/file_name_case.h"
#include "updater/base/text_rules.h"

namespace install_journal {
namespace {

constexpr char kHeaderStart[] = "torvane-install-journal ";

const char* KindName(RecordKind kind) {
  switch (kind) {
    case RecordKind::File:
      return "file";
    case RecordKind::Aside:
      return "aside";
    case RecordKind::Moved:
      return "moved";
    case RecordKind::Committed:
      return "committed";
    case RecordKind::Placed:
      return "placed";
    case RecordKind::Unfinished:
      return "unfinished";
  }
  return "";
}

uint32_t Fnv1a(const std::string& text) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
  return hash;
}

std::string ChecksumText(const std::string& text) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(Fnv1a(text)));
  return hex;
}

std::vector<std::string> SplitAtTabs(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == '\t') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// A size in decimal, without leading zeros and within 64 bits.
bool ReadSize(const std::string& text, std::uint64_t& size) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
  size = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (size > (UINT64_MAX - digit) / 10) return false;
    size = size * 10 + digit;
  }
  return true;
}

bool IsDigestText(const std::string& text) {
  if (text.size() != 64 && text.size() != 32) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The new file's size and digest, the fields a version 2 file record adds.
bool ReadNewFile(const std::string& size, const std::string& digest, NewFile& written) {
  // An empty digest: the writer could not take one (no CNG).
  if (!ReadSize(size, written.size) || !(digest.empty() || IsDigestText(digest))) return false;
  written.digest = digest;
  return true;
}

// The record of one whole line whose checksum matched; false for a line that
// is not a record of ours or names a path outside the client folder.
bool ReadRecord(const std::vector<std::string>& fields, int version, Record& record) {
  const std::string& kind = fields[0];
  if (kind == "committed" || (kind == "unfinished" && version != 1)) {
    record = {kind == "committed" ? RecordKind::Committed : RecordKind::Unfinished, std::string(), false, {}};
    return fields.size() == 1;
  }
  if (kind == "file") {
    const std::size_t count = version == 1 ? 3 : 5;
    if (fields.size() != count || (fields[1] != "0" && fields[1] != "1")) return false;
    record = Record{RecordKind::File, fields[2], fields[1] == "1", {}};
    if (version != 1 && !ReadNewFile(fields[3], fields[4], record.written)) return false;
  } else if (kind == "placed" && version != 1) {
    std::uint64_t volume = 0;
    if (fields.size() != 5 || !ReadSize(fields[2], volume) || volume > UINT32_MAX) return false;
    record = Record{RecordKind::Placed, fields[1], false, {}, {static_cast<std::uint32_t>(volume), 0, 0}};
    if (!ReadSize(fields[3], record.placed.index) || !ReadSize(fields[4], record.placed.lastWrite))
      return false;
  } else if (kind == "aside" || kind == "moved") {
    if (fields.size() != 2) return false;
    record = Record{kind == "aside" ? RecordKind::Aside : RecordKind::Moved, fields[1], false, {}};
  } else {
    return false;
  }
  return install_paths::IsContainedFilePath(record.filePath);
}

// The version a header line names; 0 when it is not one of ours.
int HeaderVersion(const std::string& bytes, std::size_t& end) {
  for (int version : {1, kVersion}) {
    const std::string header = HeaderLine(version);
    if (bytes.compare(0, header.size(), header) == 0) {
      end = header.size();
      return version;
    }
  }
  return 0;
}

}  // namespace

std::string HeaderLine(int version) { return kHeaderStart + std::to_string(version) + "\n"; }

std::string FormatRecord(const Record& record) {
  std::string text = KindName(record.kind);
  if (record.kind == RecordKind::File) text += record.existed ? "\t1" : "\t0";
  if (record.kind != RecordKind::Committed && record.kind != RecordKind::Unfinished)
    text += "\t" + record.filePath;
  if (record.kind == RecordKind::File) {
    text += "\t" + std::to_string(record.written.size) + "\t" + record.written.digest;
  }
  if (record.kind == RecordKind::Placed) {
    text += "\t" + std::to_string(record.placed.volume) + "\t" + std::to_string(record.placed.index) + "\t" +
            std::to_string(record.placed.lastWrite);
  }
  return "\n" + text + "\t" + ChecksumText(text) + "\n";
}

Journal ParseJournal(const std::string& bytes) {
  Journal journal;
  std::size_t start = 0;
  journal.version = HeaderVersion(bytes, start);
  if (journal.version == 0) return journal;
  journal.ours = true;

  const std::size_t end = bytes.size() < kMaxReadBytes ? bytes.size() : kMaxReadBytes;
  for (;;) {
    const std::size_t newline = bytes.find('\n', start);
    // A line without its newline was being written when the run ended.
    if (newline == std::string::npos || newline >= end) break;
    const std::string line = bytes.substr(start, newline - start);
    start = newline + 1;
    // The newline that opens each record leaves an empty line before it.
    if (line.empty() && journal.version != 1) continue;

    const std::size_t tab = line.rfind('\t');
    const bool whole = tab != std::string::npos &&
                       line.compare(tab + 1, std::string::npos, ChecksumText(line.substr(0, tab))) == 0;
    // A torn line: in a version 1 journal nothing after it can be trusted; in
    // a later one the next record begins on a line of its own.
    if (!whole && journal.version == 1) break;
    Record record;
    if (!whole || !ReadRecord(SplitAtTabs(line.substr(0, tab)), journal.version, record)) continue;
    journal.records.push_back(record);
  }
  return journal;
}

PlayBackPlan MakePlayBackPlan(const Journal& journal) {
  PlayBackPlan plan;
  // A destination listed again already holds a new file: what a later move
  // aside puts beside it is no longer the file from before the run.
  std::vector<bool> relisted;
  auto find = [&plan](const std::string& filePath) -> std::size_t {
    for (std::size_t i = 0; i < plan.steps.size(); ++i) {
      if (file_name_case::SameGbkName(plan.steps[i].filePath, filePath)) return i;
    }
    return plan.steps.size();
  };
  for (const Record& record : journal.records) {
    const std::size_t i = find(record.filePath);
    switch (record.kind) {
      case RecordKind::Committed:
        plan.committed = true;
        break;
      case RecordKind::Unfinished:
        ++plan.unfinishedStarts;
        break;
      case RecordKind::File:
        if (i == plan.steps.size()) {
          plan.steps.push_back({record.filePath, record.existed, false, false, true, {}, {}, false});
          relisted.push_back(false);
        } else {
          relisted[i] = true;
        }
        plan.steps[i].placedRecorded = false;
        if (record.written.digest.empty()) {
          plan.steps[i].knowsWritten = false;
        } else {
          plan.steps[i].written.push_back(record.written);
        }
        break;
      case RecordKind::Placed:
        if (i < plan.steps.size()) {
          plan.steps[i].placed.push_back(record.placed);
          plan.steps[i].placedRecorded = true;
        }
        break;
      case RecordKind::Aside:
      case RecordKind::Moved:
        if (i < plan.steps.size() && !relisted[i]) {
          (record.kind == RecordKind::Aside ? plan.steps[i].asideStarted : plan.steps[i].moved) = true;
        }
        break;
    }
  }
  if (plan.committed) {
    plan.steps.clear();
  } else {
    std::reverse(plan.steps.begin(), plan.steps.end());
  }
  return plan;
}

}  // namespace install_journal
