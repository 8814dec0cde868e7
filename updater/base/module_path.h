#pragma once
// Where the updater is, and whether its settings file lies beside it. Used by
// the start-up and by each run.

#include <string>

// The updater's own path from GetModuleFileNameA; false when it cannot be read
// or does not fit in a 260-character buffer (a cut path would name another folder).
bool ReadModulePath(std::string& path);

// True when a find-first search finds a file (not a folder) at path.
bool FileFound(const std::string& path);
