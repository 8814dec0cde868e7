#include "updater/base/run_outcome.h"

#include <cstdlib>
#include <utility>

using outcome_report::Outcome;
using outcome_report::Report;
using outcome_report::Step;

namespace {

// The fields of one event as run_log_text writes them: " key=value", the
// value quoted when it holds a space (inner quotes are written \x22).
class Fields {
 public:
  explicit Fields(std::string_view text) {
    while (!text.empty()) {
      const std::size_t space = text.find(' ');
      if (space == std::string_view::npos) break;
      text.remove_prefix(space + 1);
      const std::size_t equals = text.find('=');
      if (equals == std::string_view::npos) break;
      const std::string_view key = text.substr(0, equals);
      text.remove_prefix(equals + 1);
      std::size_t end = 0;
      std::string_view value;
      if (!text.empty() && text[0] == '"') {
        end = text.find('"', 1);
        if (end == std::string_view::npos) end = text.size();
        value = text.substr(1, end - 1);
        end = end < text.size() ? end + 1 : end;
      } else {
        end = text.find(' ');
        if (end == std::string_view::npos) end = text.size();
        value = text.substr(0, end);
      }
      fields_.emplace_back(std::string(key), std::string(value));
      text.remove_prefix(end);
    }
  }

  std::string Get(std::string_view key) const {
    for (const auto& [k, v] : fields_) {
      if (k == key) return v;
    }
    return std::string();
  }
  bool Has(std::string_view key) const {
    for (const auto& field : fields_) {
      if (field.first == key) return true;
    }
    return false;
  }
  uint64_t Number(std::string_view key) const { return std::strtoull(Get(key).c_str(), nullptr, 10); }

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

bool IsDecimal(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A code worth reporting: a decimal number, else nothing.
std::string CodeOf(const std::string& text) { return IsDecimal(text) ? text : std::string(); }

}  // namespace

void RunOutcome::Note(std::string_view eventText, uint64_t tickMs) {
  const std::size_t space = eventText.find(' ');
  const std::string_view name = eventText.substr(0, space);
  const std::string fields(space == std::string_view::npos ? std::string_view() : eventText.substr(space));
  if (!started_) {
    started_ = true;
    startTick_ = tickMs;
  }
  if (name == "result" || name == "cancel") endTick_ = tickMs;
  if (phase_ == Phase::kStartUp && name != "settings") {
    NoteStartUp(name, fields, tickMs);
  } else {
    NoteRun(name, fields, tickMs);
  }
}

void RunOutcome::NoteStartUp(std::string_view name, const std::string& text, uint64_t tick) {
  const Fields fields(text);
  if (name == "start") {
    const std::string windows = fields.Get("windows");
    Report probe;
    probe.os = windows;
    if (outcome_report::ParseQuery(outcome_report::QueryOf(probe))) os_ = windows;
  } else if (name == "play_back") {
    playedBack_ = true;
  } else if (name == "recovery") {
    recoveryMs_ = fields.Number("ms");
  } else if (name == "restore" && (fields.Has("failed") || fields.Get("ok") == "no")) {
    recoveryError_ = CodeOf(fields.Get("error"));
  } else if (name == "run_paths") {
    Fail(Step::kSettings, std::string());
  } else {
    NoteRun(name, text, tick);
  }
}

void RunOutcome::NoteRun(std::string_view name, const std::string& text, uint64_t tick) {
  const Fields fields(text);
  const bool failed = fields.Has("failed");
  const std::string failure = fields.Get("failed");
  const std::string error = CodeOf(fields.Get("error"));
  if (name == "settings") {
    // The update's time starts with its first step, after the prompt.
    updateStartTick_ = tick;
    from_ = CodeOf(fields.Get("time"));
    if (fields.Get("ok") != "yes") return Fail(Step::kSettings, std::string());
    phase_ = Phase::kManifest;
  } else if (name == "request") {
    const uint64_t received = fields.Number("received"), kept = fields.Number("resumed_from");
    bytes_ += received > kept ? received - kept : 0;
    if (fields.Number("status") >= 400 || failed) lastError_ = CodeOf(fields.Get("status"));
  } else if (name == "no_response") {
    lastError_ = error;
  } else if (name == "signature" && failed) {
    Fail(Step::kSignature, failure == "not fetched" ? lastError_ : std::string());
  } else if (name == "freshness" && failed) {
    Fail(Step::kFreshness, std::string());
  } else if (name == "update_check") {
    phase_ = Phase::kCheck;
    to_ = CodeOf(fields.Get("latest"));
    files_ = fields.Number("files");
    // The installed release is the latest: the list then names no newer one.
    const std::string latest = fields.Get("latest");
    if (failure == "no files to update" || (failed && !latest.empty() && fields.Get("installed") == latest)) {
      current_ = true;
    } else if (failure == "cancelled") {
      cancelled_ = true;
    } else if (failed) {
      Fail(Step::kCheck, std::string());
    }
  } else if (name == "file") {
    if (fields.Get("patched") == "yes") ++patched_;
    if (failure == "download") return Fail(Step::kDownload, lastError_);
    if (failure == "digest") return Fail(Step::kDigest, std::string());
    if (failed) Fail(Step::kInstall, error);
  } else if (name == "install" && failed) {
    // (A COM server that does not register is logged and fails no run.)
    Fail(Step::kInstall, error);
  } else if (name == "restore" && (failed || fields.Get("ok") == "no")) {
    Fail(Step::kRestore, error);
  } else if (name == "cancel") {
    cancelled_ = true;
  } else if (name == "result") {
    resultSeen_ = true;
    updated_ = fields.Get("outcome") == "updated";
    // A cancel that came after the run had completed leaves it completed.
    if (updated_) cancelled_ = false;
  }
}

void RunOutcome::Fail(Step step, const std::string& error) {
  step_ = step;
  error_ = error;
}

Report RunOutcome::RunReport(uint64_t tickMs) const {
  Report report;
  report.from = from_;
  report.to = to_;
  report.os = os_;
  report.files = files_;
  report.bytes = bytes_;
  report.patched = patched_;
  const uint64_t start = updateStartTick_ ? updateStartTick_ : startTick_;
  const uint64_t end = endTick_ ? endTick_ : tickMs;
  report.ms = end > start ? end - start : 0;
  if (resultSeen_ && updated_) {
    report.outcome = Outcome::kUpdated;
  } else if (cancelled_ || !resultSeen_) {
    // No result at all: the prompt was let pass, or the program was told to quit.
    report.outcome = Outcome::kCancelled;
  } else if (current_) {
    report.outcome = Outcome::kCurrent;
  } else {
    report.outcome = Outcome::kFailed;
    report.step = step_;
    report.error = error_;
    // A manifest that did not arrive logs only its requests.
    if (step_ == Step::kNone) {
      report.step = phase_ == Phase::kStartUp ? Step::kSettings : Step::kManifest;
      report.error = phase_ == Phase::kManifest ? lastError_ : std::string();
    }
  }
  return report;
}

std::vector<Report> RunOutcome::Reports(uint64_t tickMs) const {
  std::vector<Report> reports;
  if (playedBack_) {
    Report recovery;
    recovery.from = from_;
    recovery.outcome = Outcome::kFailed;
    recovery.step = Step::kRecovery;
    recovery.error = recoveryError_;
    recovery.ms = recoveryMs_;
    recovery.os = os_;
    reports.push_back(recovery);
  }
  if (runFound_ && started_) reports.push_back(RunReport(tickMs));
  return reports;
}
