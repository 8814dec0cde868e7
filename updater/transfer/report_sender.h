#pragma once
// Sends outcome reports: one GET per URL, in order, on a thread of its own,
// so that the program's end waits for them at most as long as it chooses.
// A WinINet call that blocks cannot be aborted (nor, under Wine, bounded by a
// session's time-outs), so nothing is ever waited for past that choice: the
// thread is left to the process's end, and the caller keeps every report on
// disk before it is sent and forgets only those answered in time.
//
// Redirects are followed by hand, and only from https to https: a report never
// leaves a secure URL for a plain one, and a plain URL is never sent on.

#include <cstdint>
#include <string>
#include <vector>

struct ReportDelivery {
  bool answered = false;     // an HTTP status came back: the server logged the request
  unsigned long status = 0;  // that status
  unsigned long error = 0;   // else the WinINet or system error, 0 while still pending
};

// Starts sending urls and waits up to waitMs for all answers; returns what is
// known of each by then (pending ones are neither answered nor in error).
std::vector<ReportDelivery> SendReports(const std::vector<std::string>& urls, uint32_t waitMs);
