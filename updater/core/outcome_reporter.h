#pragma once
// The outcome report of one start of the program (outcome_report.h). Made
// first thing in the program's entry, it hears every event the run logs
// (run_log::SetEventSink) and, at the program's end, keeps the run's reports
// in the client folder, sends every kept report to the folder's ReportUrl and
// waits for the answers at most kFinishWaitMs: the result balloon and the
// client's restart came long before, and the exit waits no longer than that.
//
// Threads: events arrive on every thread; ReadSettings and Finish run on the
// user-interface thread.

#include <cstdint>
#include <mutex>
#include <string>

#include "updater/base/run_outcome.h"

class OutcomeReporter {
 public:
  static constexpr uint32_t kFinishWaitMs = 1000;

  OutcomeReporter();
  ~OutcomeReporter();
  OutcomeReporter(const OutcomeReporter&) = delete;
  OutcomeReporter& operator=(const OutcomeReporter&) = delete;

  // The run found its settings file in exeFolder: it reports, unless the
  // file says Report=0. Read at the start: a completed update deletes it.
  void ReadSettings(const std::string& exeFolder);
  // Keeps, sends and forgets what was answered; nothing when the start made
  // no report or the folder has no ReportUrl.
  void Finish(const std::string& exeFolder);

 private:
  static void OnEvent(void* self, const std::string& eventText);

  std::mutex mutex_;  // guards outcome_
  RunOutcome outcome_;
  bool off_ = false;
};
