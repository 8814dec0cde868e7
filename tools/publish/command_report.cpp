// `torvane-publish report LOG...`: reads outcome reports back from web server
// access logs (plain or gzip) and sums them per from -> to pair.

#include <sys/stat.h>
#include <zlib.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tools/publish/command_options.h"
#include "tools/publish/commands.h"
#include "tools/publish/report_output.h"

namespace publish {
namespace {

// A log this large prints its progress: reading it takes more than a moment.
constexpr uint64_t kProgressFromBytes = 256ull << 20;
constexpr auto kProgressEvery = std::chrono::seconds(5);
constexpr unsigned kReadBytes = 1u << 20;

struct ReportOptions {
  std::vector<std::string> logs;
  std::string since, until, html;
  bool json = false;
};

struct GzCloser {
  void operator()(gzFile file) const { gzclose(file); }
};

uint64_t FileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

// Feeds every line of one log (plain or gzip: zlib reads both) to summary.
bool ReadLog(const std::string& path, int64_t since, int64_t until, ReportSummary& summary) {
  std::unique_ptr<gzFile_s, GzCloser> file(gzopen(path.c_str(), "rb"));
  if (!file) return false;
  gzbuffer(file.get(), 256 * 1024);
  const uint64_t size = FileSize(path);
  auto nextProgress = std::chrono::steady_clock::now() + kProgressEvery;
  std::vector<char> buffer(kReadBytes);
  std::string carry;  // a line cut by the end of a read
  LogRecord record;
  for (;;) {
    const int read = gzread(file.get(), buffer.data(), kReadBytes);
    if (read < 0) return false;
    if (read == 0) break;
    std::string_view rest(buffer.data(), static_cast<std::size_t>(read));
    for (std::size_t end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
      std::string_view line = rest.substr(0, end);
      if (!carry.empty()) {
        carry.append(line);
        line = carry;
      }
      summary.Add(ReadLogLine(line, record), record, since, until);
      carry.clear();
      rest.remove_prefix(end + 1);
    }
    // An endless line is kept only up to what shows it is over-long.
    if (carry.size() <= kMaxLogLineBytes) carry.append(rest.substr(0, kMaxLogLineBytes + 1));
    if (size >= kProgressFromBytes && std::chrono::steady_clock::now() >= nextProgress) {
      nextProgress += kProgressEvery;
      std::cerr << "report: " << path << ": " << (gzoffset(file.get()) >> 20) << " of " << (size >> 20)
                << " MiB read\n";
    }
  }
  if (!carry.empty()) summary.Add(ReadLogLine(carry, record), record, since, until);
  return true;
}

bool TimeOption(const std::string& text, int64_t fallback, int64_t& time, const char* name) {
  if (text.empty()) {
    time = fallback;
    return true;
  }
  const std::optional<int64_t> parsed = ParseUtcTime(text);
  if (!parsed) {
    std::cerr << "torvane-publish: " << name << " " << text << ": give a UTC time, YYYY-MM-DD[THH:MM[:SS]]\n";
    return false;
  }
  time = *parsed;
  return true;
}

int RunReport(const ReportOptions& options) {
  int64_t since = 0, until = 0;
  if (!TimeOption(options.since, std::numeric_limits<int64_t>::min(), since, "--since") ||
      !TimeOption(options.until, std::numeric_limits<int64_t>::max(), until, "--until"))
    return kExitUsage;
  ReportSummary summary;
  for (const std::string& log : options.logs) {
    if (!ReadLog(log, since, until, summary)) {
      std::cerr << "torvane-publish: " << log << ": cannot be read\n";
      return kExitFailed;
    }
  }
  if (options.json) {
    WriteReportJson(summary, std::cout);
  } else {
    WriteReportText(summary, std::cout);
  }
  if (!options.html.empty()) {
    std::ofstream page(options.html, std::ios::binary | std::ios::trunc);
    WriteReportHtml(summary, page);
    page.close();
    if (!page) {
      std::cerr << "torvane-publish: " << options.html << ": cannot be written\n";
      return kExitFailed;
    }
  }
  return kExitOk;
}

}  // namespace

Command AddReportCommand(CLI::App& app, CommonOptions& common) {
  auto options = std::make_shared<ReportOptions>();
  CLI::App* command = app.add_subcommand(
      "report",
      "Sum the outcome reports that clients sent to the ReportUrl, per from -> to pair, from web server "
      "access logs (nginx combined or the short format; .gz too).");
  command->add_option("LOG", options->logs, "Access log(s)")->required()->check(CLI::ExistingFile);
  command->add_option("--since", options->since, "Only reports logged from this UTC time: YYYY-MM-DD[THH:MM[:SS]]");
  command->add_option("--until", options->until, "Only reports logged before this UTC time");
  command->add_flag("--json", options->json, "Write the summary as JSON");
  command->add_option("--html", options->html, "Also write a self-contained HTML page with charts to FILE");
  AddQuietFlag(*command, common);
  return {command, [options] { return RunReport(*options); }};
}

}  // namespace publish
