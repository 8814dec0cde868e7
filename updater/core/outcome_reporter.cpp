#include "updater/core/outcome_reporter.h"

#include <windows.h>

#include <vector>

#include "updater/base/profile_file_reader.h"
#include "updater/base/run_log.h"
#include "updater/core/install_paths.h"
#include "updater/core/kept_reports.h"
#include "updater/transfer/report_sender.h"

namespace {

uint64_t UtcSeconds() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr uint64_t kTicksTo1970 = 116444736000000000ull;
  return ticks > kTicksTo1970 ? (ticks - kTicksTo1970) / 10000000 : 0;
}

void LogDelivery(const std::string& url, const ReportDelivery& delivery, std::size_t queued) {
  run_log::Event line("report");
  line.Add("url", url);
  if (delivery.answered) {
    line.Add("status", delivery.status);
  } else if (delivery.error != 0) {
    line.Add("status", "none").Error(delivery.error);
  } else {
    line.Add("status", "pending");
  }
  line.Add("queued", queued);
}

}  // namespace

OutcomeReporter::OutcomeReporter() { run_log::SetEventSink(OnEvent, this); }

OutcomeReporter::~OutcomeReporter() { run_log::SetEventSink(nullptr, nullptr); }

void OutcomeReporter::OnEvent(void* self, const std::string& eventText) {
  auto* reporter = static_cast<OutcomeReporter*>(self);
  try {
    std::lock_guard<std::mutex> lock(reporter->mutex_);
    reporter->outcome_.Note(eventText, GetTickCount64());
  } catch (...) {
    // A report is never worth a failed step.
  }
}

void OutcomeReporter::ReadSettings(const std::string& exeFolder) {
  const ProfileFileReader settings(exeFolder + install_paths::kSettingsFileName);
  off_ = settings.Read("Client", "Report", 8) == "0";
  std::lock_guard<std::mutex> lock(mutex_);
  outcome_.SetRunFound();
}

void OutcomeReporter::Finish(const std::string& exeFolder) {
  std::vector<outcome_report::Report> made;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    made = outcome_.Reports(GetTickCount64());
  }
  if (made.empty() || exeFolder.empty()) return;
  if (off_) {
    run_log::Event("report").Add("status", "off");
    return;
  }
  outcome_report::Kept kept = LoadKeptReports(exeFolder);
  if (kept.url.empty()) return;
  const uint64_t now = UtcSeconds();
  for (const outcome_report::Report& report : made) outcome_report::AddKept(kept, {now, report});
  // On disk before a byte goes out: the process may end while a send blocks.
  SaveKeptReports(exeFolder, kept);

  std::vector<std::string> urls;
  for (outcome_report::KeptReport entry : kept.reports) {
    entry.report.age = now > entry.runTime ? now - entry.runTime : 0;
    urls.push_back(outcome_report::RequestUrl(kept.url, entry.report));
  }
  const std::vector<ReportDelivery> deliveries = SendReports(urls, kFinishWaitMs);
  outcome_report::Kept left;
  left.url = kept.url;
  for (std::size_t i = 0; i < deliveries.size(); ++i) {
    if (!deliveries[i].answered) left.reports.push_back(kept.reports[i]);
  }
  if (left.reports.size() != kept.reports.size() && !SaveKeptReports(exeFolder, left)) left = kept;
  for (std::size_t i = 0; i < deliveries.size(); ++i) LogDelivery(urls[i], deliveries[i], left.reports.size());
}
