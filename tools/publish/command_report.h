#pragma once
// `torvane-publish report LOG...`: reads outcome reports back from web server
// access logs (plain or gzip) and sums them per from -> to pair.

#include <functional>
#include <optional>

#include <CLI/CLI.hpp>

namespace publish {

// Adds the command and its options to app. The function returned, called
// once app has parsed the command line, runs the command when it was chosen
// and gives its exit status; nothing when another command was chosen.
std::function<std::optional<int>()> AddReportCommand(CLI::App& app);

}  // namespace publish
