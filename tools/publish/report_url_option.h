#pragma once
// --report-url of release and sign: the manifest's [Root] ReportUrl, where
// clients send their outcome reports (docs/reports.md). Like every other
// [Root] key it stays in the manifest across releases until changed.

#include <string>

#include <CLI/CLI.hpp>

namespace publish {

// Adds --report-url to command, refusing (a usage error) what clients would not take.
void AddReportUrlOption(CLI::App& command, std::string& url);

// manifest with [Root] ReportUrl set to url.
std::string WithReportUrl(const std::string& manifest, const std::string& url);

}  // namespace publish
