#pragma once
// The run log's line format, without a Windows call: one event per line,
//   2026-12-08T14:30:01.123Z [1234] request url=http://x/a.dll status=200 ms=12
// a UTC time with milliseconds, the thread id, the event's name and its fields
// as key=value. Values are UTF-8; a value that holds a space, a quote or an
// equals sign, or is empty, is quoted, and control characters are written as
// \xNN, so that every event stays on one line and a line splits unambiguously
// into fields. Backslashes stay as they are: paths are read far more often
// than they hold a control character (which no Windows file name can).

#include <cstdint>
#include <string>

namespace run_log {

// A log over this size at the start of a run is kept as the one older log.
constexpr std::uint64_t kRotateBytes = 1024 * 1024;
// A longer value (a hostile URL) is cut, so that no line grows without bound.
constexpr std::size_t kMaxValueBytes = 1024;

struct UtcTime {
  int year, month, day, hour, minute, second, millisecond;
};

// "2026-12-08T14:30:01.123Z [1234] " + text: the start of every line.
std::string LineStart(const UtcTime& time, std::uint32_t threadId, const std::string& text);

// Appends " key=value" to line; value is UTF-8 and is quoted, escaped and cut
// as the header says.
void AppendField(std::string& line, const std::string& key, const std::string& value);

// UTF-8 of a UTF-16 text; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);

// Whether a log of this size is moved aside before a run writes to it.
bool RotationDue(std::uint64_t size);

// The name the older log is kept under: path + ".1".
std::string RotatedPath(const std::string& path);

}  // namespace run_log
