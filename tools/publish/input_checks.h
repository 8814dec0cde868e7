#pragma once
// The publisher's inputs checked before anything is written: the served
// address, the folders written to, and the reason a file name breaks the
// updater's name rules, said in words.

#include <string>

namespace publish {

// Parsed with libcurl's URL parser: http or https, a host, no user
// information, no query or fragment. Empty when sound, else the reason.
std::string BaseUrlProblem(const std::string& url);

// Empty when files can be created in folder (or in the nearest existing
// folder above it, which the release would create it in); else the reason.
std::string WritableFolderProblem(const std::string& folder);

// Which rule a release-relative name (UTF-8, '/' between folders) breaks,
// for a name the updater's FilePath rules refuse.
std::string NameRuleBroken(const std::string& relative);

}  // namespace publish
