#pragma once
// Whole-file reads and atomic writes for the publisher's outputs.

#include <optional>
#include <string>

namespace publish {

// The file's bytes; nullopt when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Writes data to a temporary file beside path, flushes it to disk and renames
// it over path, so a reader (or the web server) sees the old file or the new
// one, never a part. The new file gets mode 0644.
bool WriteFileAtomically(const std::string& path, const std::string& data, std::string& error);

}  // namespace publish
