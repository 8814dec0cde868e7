#pragma once
// COM servers among the client's files are registered and unregistered by the
// system's own regsvr32, in a process of its own, never in the updater's:
// a library's registration code may crash or hang. RegisterComServer runs
// after a file is put in place; the play-back of a run keeps the registry in
// step with the files it puts back.

#include <string>

// Runs "regsvr32" on path when it is a self-registering COM server (a dll or
// ocx exporting the four functions) and waits, boundedly, for it to end.
// True when it was started; the outcome is only logged.
bool RegisterComServer(const std::string& path);

// The same with "regsvr32 /u".
bool UnregisterComServer(const std::string& path);
