#include "updater/base/outcome_report.h"

#include <array>
#include <cstring>

namespace outcome_report {
namespace {

constexpr std::array<const char*, 4> kOutcomeNames = {"updated", "failed", "cancelled", "current"};
constexpr std::array<const char*, 12> kStepNames = {"",          "settings", "manifest", "signature",
                                                    "freshness", "check",    "download", "digest",
                                                    "install",   "register", "restore",  "recovery"};
// The fields in the order they are written; a query holds each exactly once.
constexpr std::array<std::string_view, 12> kFields = {"v",  "from",  "to",    "outcome", "step", "error",
                                                      "ms", "files", "bytes", "patched", "os",   "age"};
constexpr std::size_t kFieldCount = kFields.size();
constexpr std::size_t kMaxDigits = 19;  // every value of 19 digits fits 64 bits
constexpr std::size_t kMaxVersionDigits = 10;
constexpr char kKeptHeader[] = "torvane-reports 1";

bool AllDigits(std::string_view text, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::optional<uint64_t> Number(std::string_view text) {
  if (!AllDigits(text, kMaxDigits)) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<uint64_t>(c - '0');
  return value;
}

// "10.0.19045": three decimal parts.
bool IsOsVersion(std::string_view text) {
  for (int part = 0; part < 3; ++part) {
    const std::size_t dot = text.find('.');
    if (!AllDigits(text.substr(0, dot), kMaxVersionDigits) || (dot == std::string_view::npos) != (part == 2))
      return false;
    text.remove_prefix(dot == std::string_view::npos ? text.size() : dot + 1);
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX decoded; nothing for a cut or non-hex escape.
std::optional<std::string> Unescaped(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i] == '+' ? ' ' : text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

template <typename Name, std::size_t N>
int IndexOf(const std::array<Name, N>& names, std::string_view value, std::size_t first) {
  for (std::size_t i = first; i < N; ++i) {
    if (value == names[i]) return static_cast<int>(i);
  }
  return -1;
}

// Stores one decoded value into report; false when it is out of its range.
bool Store(std::size_t field, std::string_view value, Report& report) {
  switch (field) {
    case 0: return value == "1";
    case 1: report.from = value; return value.empty() || AllDigits(value, kMaxVersionDigits);
    case 2: report.to = value; return value.empty() || AllDigits(value, kMaxVersionDigits);
    case 3: {
      const int i = IndexOf(kOutcomeNames, value, 0);
      report.outcome = static_cast<Outcome>(i);
      return i >= 0;
    }
    case 4: {
      const int i = value.empty() ? 0 : IndexOf(kStepNames, value, 1);
      report.step = static_cast<Step>(i);
      return i >= 0;
    }
    case 5: report.error = value; return value.empty() || AllDigits(value, kMaxVersionDigits);
    case 10: report.os = value; return value.empty() || IsOsVersion(value);
    default: break;
  }
  const std::optional<uint64_t> number = Number(value);
  if (!number) return false;
  uint64_t* const targets[] = {&report.ms, &report.files, &report.bytes, &report.patched, nullptr, &report.age};
  *targets[field - 6] = *number;
  return true;
}

bool HasControlOrSpace(const std::string& text) {
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7F) return true;
  }
  return false;
}

}  // namespace

const char* OutcomeName(Outcome outcome) { return kOutcomeNames[static_cast<std::size_t>(outcome)]; }
const char* StepName(Step step) { return kStepNames[static_cast<std::size_t>(step)]; }

std::string QueryOf(const Report& r) {
  // Every value is digits, dots or a lower-case name: none needs an escape.
  const std::string values[kFieldCount] = {
      "1", r.from, r.to, OutcomeName(r.outcome), StepName(r.step), r.error, std::to_string(r.ms),
      std::to_string(r.files), std::to_string(r.bytes), std::to_string(r.patched), r.os, std::to_string(r.age)};
  std::string query;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    if (i > 0) query += '&';
    query += kFields[i];
    query += '=';
    query += values[i];
  }
  return query;
}

std::optional<Report> ParseQuery(std::string_view query) {
  if (query.size() > kMaxQueryBytes) return std::nullopt;
  Report report;
  bool seen[kFieldCount] = {};
  std::size_t count = 0;
  while (!query.empty() || count == 0) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view name = pair.substr(0, equals);
    // Written in order: the expected name first, then any.
    const int field = count < kFieldCount && name == kFields[count] ? static_cast<int>(count) : IndexOf(kFields, name, 0);
    if (field < 0 || seen[field]) return std::nullopt;
    const std::string_view raw = pair.substr(equals + 1);
    bool stored = false;
    if (raw.find_first_of("%+") == std::string_view::npos) {
      stored = Store(static_cast<std::size_t>(field), raw, report);
    } else if (const std::optional<std::string> value = Unescaped(raw)) {
      stored = Store(static_cast<std::size_t>(field), *value, report);
    }
    if (!stored) return std::nullopt;
    seen[field] = true;
    ++count;
    if (amp != std::string_view::npos && query.empty()) return std::nullopt;  // a trailing '&'
  }
  if (count != kFieldCount) return std::nullopt;
  return report;
}

bool IsReportUrl(const std::string& url) {
  if (url.size() > kMaxUrlBytes || HasControlOrSpace(url) || url.find('#') != std::string::npos) return false;
  std::size_t hostStart = 0;
  if (url.compare(0, 7, "http://") == 0) {
    hostStart = 7;
  } else if (url.compare(0, 8, "https://") == 0) {
    hostStart = 8;
  } else {
    return false;
  }
  const std::size_t hostEnd = url.find_first_of("/?:", hostStart);
  return (hostEnd == std::string::npos ? url.size() : hostEnd) > hostStart && url.find('@') == std::string::npos;
}

std::string ReadReportUrl(const ProfileReader& manifest) {
  // One byte over the limit tells an over-long value from one that fits.
  std::string url = manifest.Read("Root", kReportUrlKey, kMaxUrlBytes + 1);
  return IsReportUrl(url) ? url : std::string();
}

std::string RequestUrl(const std::string& url, const Report& report) {
  return url + (url.find('?') == std::string::npos ? '?' : '&') + QueryOf(report);
}

void AddKept(Kept& kept, const KeptReport& report) {
  kept.reports.push_back(report);
  if (kept.reports.size() > kMaxKept)
    kept.reports.erase(kept.reports.begin(), kept.reports.end() - static_cast<std::ptrdiff_t>(kMaxKept));
}

std::string FormatKept(const Kept& kept) {
  std::string text = std::string(kKeptHeader) + "\n";
  if (!kept.url.empty()) text += "url\t" + kept.url + "\n";
  for (const KeptReport& entry : kept.reports) {
    text += "report\t" + std::to_string(entry.runTime) + "\t" + QueryOf(entry.report) + "\n";
  }
  return text;
}

Kept ParseKept(std::string_view bytes) {
  Kept kept;
  if (bytes.size() > kMaxKeptFileBytes) bytes = bytes.substr(0, kMaxKeptFileBytes);
  bool headerRead = false;
  // Only whole lines: a write cut short leaves at most one without its end.
  for (std::size_t end = bytes.find('\n'); end != std::string_view::npos; end = bytes.find('\n')) {
    const std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(end + 1);
    if (!headerRead) {
      if (line != kKeptHeader) return kept;
      headerRead = true;
      continue;
    }
    const std::size_t tab = line.find('\t');
    const std::string_view kind = line.substr(0, tab);
    const std::string_view rest = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
    if (kind == "url" && IsReportUrl(std::string(rest))) {
      kept.url = std::string(rest);
    } else if (kind == "report") {
      const std::size_t second = rest.find('\t');
      const std::optional<uint64_t> time = Number(rest.substr(0, second));
      if (!time || second == std::string_view::npos) continue;
      if (const std::optional<Report> report = ParseQuery(rest.substr(second + 1)))
        AddKept(kept, KeptReport{*time, *report});
    }
  }
  return kept;
}

}  // namespace outcome_report
