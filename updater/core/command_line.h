#pragma once
// The updater's command line: only the first argument counts, compared without
// regard to letter case.
//
//   "/CommonUpdate"             common update: the user is asked first
//   "/ForceUpdate", "/Upgrade"  forced update: starts when the prompt times out
//   none                        forced update
//   anything else               the process ends at once

enum class UpdateMode { Common, Forced };

// The mode named by argv[1] (argv[0] is the program); false for an unknown
// first argument, which leaves mode untouched.
bool ParseUpdateMode(int argc, const char* const* argv, UpdateMode& mode);
