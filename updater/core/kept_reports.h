#pragma once
// The client folder's report file (TorvaneReports.dat): the ReportUrl last
// accepted from a manifest and the reports not yet delivered. It is replaced
// whole (a new file renamed over it), so a killed run leaves the old one or
// the new one; the reader skips whatever does not read (outcome_report.h).

#include <string>

#include "updater/base/outcome_report.h"
#include "updater/base/profile_reader.h"

constexpr const char kKeptReportsFileName[] = "TorvaneReports.dat";

// The folder's kept state; empty when there is none or it does not read.
outcome_report::Kept LoadKeptReports(const std::string& exeFolder);
// False when it could not be written; the old file is then left as it was.
bool SaveKeptReports(const std::string& exeFolder, const outcome_report::Kept& kept);

// Takes an accepted manifest's [Root] ReportUrl as the folder's; a manifest
// without one (or with one that is not http or https) turns reports off.
void KeepReportUrl(const std::string& exeFolder, const ProfileReader& manifest);
