// torvane-publish: makes, signs and checks the update manifest that Torvane
// reads, with the updater's own readers and rules. This file only reads the
// command line; each command, and its options, live in its own command_*.cpp.

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/publish/command_common.h"
#include "tools/publish/commands.h"

namespace publish {
namespace {

constexpr char kToolVersion[] = "1.1";

// Where the command's name is: the first argument that is not an option, or 0.
int CommandIndex(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') return i;
  }
  return 0;
}

// The error for a command's name that names no command, or empty. A --help or
// --version before the name is for the tool itself; after it, it is not, so a
// misspelt "relase --version 300" is not taken for a request of the version.
std::string UnknownCommand(CLI::App& app, int argc, char** argv) {
  const int at = CommandIndex(argc, argv);
  if (at == 0) return "";
  for (int i = 1; i < at; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help" || arg == "--version") return "";
  }
  std::vector<std::string> known;
  for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
    if (command->get_name() == argv[at]) return "";
    known.push_back(command->get_name());
  }
  std::sort(known.begin(), known.end());
  std::string names;
  for (std::size_t i = 0; i < known.size(); ++i) {
    names += (i == 0 ? "" : i + 1 == known.size() ? " and " : ", ") + known[i];
  }
  return std::string("unknown command \"") + argv[at] + "\"; the commands are " + names +
         " (see torvane-publish --help)";
}

// Usage errors in plain words: an unknown option is named, with where to read
// the right ones. --help and --version end here too, with 0.
int ExplainUsageError(CLI::App& app, const CLI::ParseError& e, int argc, char** argv) {
  if (dynamic_cast<const CLI::CallForHelp*>(&e) || dynamic_cast<const CLI::CallForAllHelp*>(&e) ||
      dynamic_cast<const CLI::CallForVersion*>(&e)) {
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }
  // An unknown option is named even when CLI11 first trips over a missing one.
  CLI::App* command = &app;
  const int at = CommandIndex(argc, argv);
  for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
    if (at > 0 && sub->get_name() == argv[at]) command = sub;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg.size() != 2)) continue;
    const std::string name = arg.substr(0, arg.find('='));
    if (command->get_option_no_throw(name) || app.get_option_no_throw(name)) continue;
    return Refuse("unknown option " + name + (command == &app ? std::string() : " for " + command->get_name()) +
                      " (see torvane-publish" + (command == &app ? std::string() : " " + command->get_name()) +
                      " --help)",
                  kExitUsage);
  }
  app.exit(e);
  return kExitUsage;
}

}  // namespace
}  // namespace publish

int main(int argc, char** argv) {
  using namespace publish;
  CLI::App app{
      "torvane-publish: builds, signs and checks the update manifest (HistoryVersionList.cfg) "
      "that Torvane reads, with the updater's own rules.\n"
      "Exit status: 0 success (lint: no errors), 1 failure (lint: errors found), 2 usage."};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("torvane-publish ") + kToolVersion);
  CommonOptions common;
  app.add_flag("-q,--quiet", common.quiet, "Print only warnings and errors")->configurable(false);
  const std::vector<Command> commands = {
      AddKeygenCommand(app, common), AddReleaseCommand(app, common), AddSignCommand(app, common),
      AddKeyIdCommand(app, common),  AddVerifyCommand(app, common),  AddLintCommand(app, common),
      AddReportCommand(app, common),
  };
  const std::string unknown = UnknownCommand(app, argc, argv);
  if (!unknown.empty()) return Refuse(unknown, kExitUsage);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return ExplainUsageError(app, e, argc, argv);
  }
  // Quiet: the report on standard output goes; warnings and errors stay.
  if (common.quiet) std::cout.setstate(std::ios::badbit);
  for (const Command& command : commands) {
    if (*command.parsed) return command.run();
  }
  return kExitUsage;
}
