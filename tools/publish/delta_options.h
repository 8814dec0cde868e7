#pragma once
// The command-line options of release that make patches (--deltas and what
// goes with it), kept apart from the other options of release.

#include <CLI/CLI.hpp>

#include "tools/publish/release_builder.h"

namespace publish {

void AddDeltaOptions(CLI::App& release, ReleaseOptions& options);

}  // namespace publish
