#pragma once
// How a run ended, learned from the events it logs: the run log already says
// at which step a run failed and with which code (docs/run-log.md), so the
// outcome report is read off those events rather than told by every step.
//
// The program feeds every event to Note as it is written (any thread; the
// caller serialises), and asks for the reports once the run is over. No
// Windows call: the event texts and the ticks are given.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "updater/base/outcome_report.h"

class RunOutcome {
 public:
  // One event as the run log writes it after the time and thread ("name
  // key=value ..."), at tickMs of a steady clock.
  void Note(std::string_view eventText, uint64_t tickMs);
  // The run found its settings file: it reports, whatever it did next.
  void SetRunFound() { runFound_ = true; }

  // The reports of the run, with age 0: first the play-back of an
  // interrupted run's journal when this start made one, then the run's own.
  std::vector<outcome_report::Report> Reports(uint64_t tickMs) const;

 private:
  enum class Phase { kStartUp, kManifest, kCheck };
  void Fail(outcome_report::Step step, const std::string& error);
  void NoteStartUp(std::string_view name, const std::string& fields, uint64_t tick);
  void NoteRun(std::string_view name, const std::string& fields, uint64_t tick);
  outcome_report::Report RunReport(uint64_t tickMs) const;

  Phase phase_ = Phase::kStartUp;
  bool runFound_ = false;
  bool started_ = false;
  uint64_t startTick_ = 0;
  uint64_t updateStartTick_ = 0;  // of the worker's first step
  uint64_t endTick_ = 0;
  std::string os_;
  bool playedBack_ = false;
  uint64_t recoveryMs_ = 0;
  std::string recoveryError_;
  std::string from_, to_;
  uint64_t files_ = 0, bytes_ = 0, patched_ = 0;
  outcome_report::Step step_ = outcome_report::Step::kNone;
  std::string error_;
  std::string lastError_;  // of the last request that failed
  bool resultSeen_ = false, updated_ = false, cancelled_ = false, current_ = false;
};
