#pragma once
// Creation and removal of the folders the pipeline works in. Only the two work
// folders, the set-aside folder and the sets of journals kept for support are
// ever removed with what they hold.

#include <string>

// Removes path and everything below it, when its name is one of the work
// folders': links are removed themselves, never what they point at, and a
// read-only file never keeps a folder alive. False when the name is not a work
// folder's, or when path is left.
bool DeleteWorkFolder(const std::string& path);

// Creates path and its missing parents; true when it exists, also when another
// thread created it meanwhile. A trailing backslash is ignored.
bool CreateFolderPath(const std::string& path);

// Creates the folder that file goes in, with its parents, also while other
// fetches or the install loop create the same folders.
bool CreateFolderOf(const std::string& file);
