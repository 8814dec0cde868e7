#include "updater/core/install_journal.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "updater/core/install_paths.h"
#include "updater/base/text_rules.h"

namespace install_journal {
namespace {

constexpr char kHeader[] = "torvane-install-journal 1\n";

const char* KindName(RecordKind kind) {
  switch (kind) {
    case RecordKind::File: return "file";
    case RecordKind::Aside: return "aside";
    case RecordKind::Moved: return "moved";
    case RecordKind::Committed: return "committed";
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

// The record of one whole line whose checksum matched; false for a line that
// is not a record of ours or names a path outside the client folder.
bool ReadRecord(const std::vector<std::string>& fields, Record& record) {
  const std::string& kind = fields[0];
  if (kind == "committed") {
    record = Record{RecordKind::Committed, std::string(), false};
    return fields.size() == 1;
  }
  if (kind == "file") {
    if (fields.size() != 3 || (fields[1] != "0" && fields[1] != "1")) return false;
    record = Record{RecordKind::File, fields[2], fields[1] == "1"};
  } else if (kind == "aside" || kind == "moved") {
    if (fields.size() != 2) return false;
    record = Record{kind == "aside" ? RecordKind::Aside : RecordKind::Moved, fields[1], false};
  } else {
    return false;
  }
  return install_paths::IsContainedFilePath(record.filePath);
}

}  // namespace

std::string HeaderLine() { return kHeader; }

std::string FormatRecord(const Record& record) {
  std::string text = KindName(record.kind);
  if (record.kind == RecordKind::File) text += record.existed ? "\t1" : "\t0";
  if (record.kind != RecordKind::Committed) text += "\t" + record.filePath;
  return text + "\t" + ChecksumText(text) + "\n";
}

Journal ParseJournal(const std::string& bytes) {
  Journal journal;
  const std::string header = kHeader;
  if (bytes.compare(0, header.size(), header) != 0) return journal;
  journal.ours = true;

  const std::size_t end = bytes.size() < kMaxReadBytes ? bytes.size() : kMaxReadBytes;
  std::size_t start = header.size();
  for (;;) {
    const std::size_t newline = bytes.find('\n', start);
    // A line without its newline was being written when the run ended.
    if (newline == std::string::npos || newline >= end) break;
    const std::string line = bytes.substr(start, newline - start);
    start = newline + 1;

    const std::size_t tab = line.rfind('\t');
    if (tab == std::string::npos || line.compare(tab + 1, std::string::npos, ChecksumText(line.substr(0, tab))) != 0) {
      break;  // torn or overwritten: nothing after it can be trusted
    }
    Record record;
    if (ReadRecord(SplitAtTabs(line.substr(0, tab)), record)) journal.records.push_back(record);
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
      if (EqualsIgnoreAsciiCaseMb(plan.steps[i].filePath, filePath)) return i;
    }
    return plan.steps.size();
  };
  for (const Record& record : journal.records) {
    const std::size_t i = find(record.filePath);
    switch (record.kind) {
      case RecordKind::Committed:
        plan.committed = true;
        break;
      case RecordKind::File:
        if (i == plan.steps.size()) {
          plan.steps.push_back({record.filePath, record.existed, false, false});
          relisted.push_back(false);
        } else {
          relisted[i] = true;
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
