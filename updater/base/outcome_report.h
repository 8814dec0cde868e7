#pragma once
// The outcome report: how one run ended, sent to the publisher as the query of
// a GET of the manifest's ReportUrl and read back from the web server's access
// log (format: docs/reports.md). Its fields are fixed and few on purpose: no
// user, machine, path or installation identifier ever goes into one.
//
// Also the file that keeps the ReportUrl last accepted and the reports not yet
// delivered (at most kMaxKept), written whole and read cut-tolerantly: a line
// without its line end, or one that does not read, is skipped.
//
// No Windows call: the updater, the publisher tool and the fuzzer share it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "updater/base/profile_reader.h"

namespace outcome_report {

enum class Outcome { kUpdated, kFailed, kCancelled, kCurrent };
enum class Step {
  kNone,
  kSettings,
  kManifest,
  kSignature,
  kFreshness,
  kCheck,
  kDownload,
  kDigest,
  kInstall,
  kRegister,
  kRestore,
  kRecovery,
};

struct Report {
  std::string from;  // the installed release, decimal; empty when unknown
  std::string to;    // the release targeted; empty when none
  Outcome outcome = Outcome::kFailed;
  Step step = Step::kNone;
  std::string error;  // the system or HTTP code of the failure, decimal, or empty
  uint64_t ms = 0;
  uint64_t files = 0;
  uint64_t bytes = 0;
  uint64_t patched = 0;
  std::string os;    // major.minor.build, or empty
  uint64_t age = 0;  // seconds from the run to the sending
};

constexpr std::size_t kMaxKept = 8;
constexpr std::size_t kMaxQueryBytes = 1024;
constexpr std::size_t kMaxUrlBytes = 511;  // as long as the manifest's [Root] URLs
constexpr std::size_t kMaxKeptFileBytes = 16384;
constexpr char kReportUrlKey[] = "ReportUrl";

const char* OutcomeName(Outcome outcome);
const char* StepName(Step step);  // "" for kNone

// "v=1&from=..&to=..&outcome=..&step=..&error=..&ms=..&files=..&bytes=..&patched=..&os=..&age=..".
std::string QueryOf(const Report& report);

// The report of a query that holds exactly the fields above, each once and
// well-formed; nothing for anything else (an unknown, missing or repeated
// field, a bad %-escape, a value out of its range).
std::optional<Report> ParseQuery(std::string_view query);

// Whether url is one a report may go to: http:// or https://, a host, no
// fragment, no space or control byte, at most kMaxUrlBytes.
bool IsReportUrl(const std::string& url);

// [Root] ReportUrl of a manifest when it is a report URL; empty otherwise.
std::string ReadReportUrl(const ProfileReader& manifest);

// url with the report as its query (after '?' or, when url has a query, '&').
std::string RequestUrl(const std::string& url, const Report& report);

// The kept state: the ReportUrl last accepted and the undelivered reports,
// oldest first, each with the UTC time of its run (seconds since 1970).
struct KeptReport {
  uint64_t runTime = 0;
  Report report;
};
struct Kept {
  std::string url;
  std::vector<KeptReport> reports;
};

// Adds a report, dropping the oldest beyond kMaxKept.
void AddKept(Kept& kept, const KeptReport& report);
std::string FormatKept(const Kept& kept);
// Reads what FormatKept wrote, skipping whatever does not read; never fails.
Kept ParseKept(std::string_view bytes);

}  // namespace outcome_report
