#pragma once
// The commands of torvane-publish, each in a file of its own (command_*.cpp).
// Each file adds its sub-command and that command's options to the command
// line, and hands back what runs it; main.cpp only parses the line and runs the
// command that was chosen. A run returns the process's exit status.

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace publish {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// What every command shares on the command line.
struct CommonOptions {
  bool quiet = false;  // --quiet, before or after the command's name
};

// A sub-command as added to the line: parsed is set once the line chose it.
struct Command {
  CLI::App* parsed = nullptr;
  std::function<int()> run;
};

Command AddKeygenCommand(CLI::App& app, CommonOptions& common);
Command AddKeyIdCommand(CLI::App& app, CommonOptions& common);
Command AddReleaseCommand(CLI::App& app, CommonOptions& common);
Command AddSignCommand(CLI::App& app, CommonOptions& common);
Command AddVerifyCommand(CLI::App& app, CommonOptions& common);
Command AddLintCommand(CLI::App& app, CommonOptions& common);
Command AddReportCommand(CLI::App& app, CommonOptions& common);

}  // namespace publish
