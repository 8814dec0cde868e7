#pragma once
// The run log: one UTF-8 line per event in a file beside the program, for
// support to read after a failed run. The line format is in run_log_text.h.
//
// A program's entry owns one LogFile and opens it once its folder is known;
// from then on an Event made on any thread, in any layer, goes to it, written
// through with one WriteFile per line, so a killed run's log ends at its last
// step. The log never fails or slows a run: without an open log, or when a
// write fails, the event is dropped, and an Event that is not going anywhere
// does no work. Log once per request, file or step, never per chunk, and
// never a file's contents.
//
//   run_log::Event("request").Add("url", url).Add("status", status);
//   run_log::Event("backup").Add("file", filePath).Error(GetLastError());
//
// Texts given as std::string or const char* are the updater's ANSI texts
// (code page 936); std::wstring texts are UTF-16.

#include <cstdint>
#include <string>
#include <type_traits>

namespace run_log {

class LogFile {
 public:
  LogFile() = default;
  ~LogFile() { Close(); }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Keeps a log over kRotateBytes as path + ".1" (replacing an older one),
  // then opens path for appending and makes it the process's log. False when
  // it cannot be opened: the program runs on without a log. One LogFile of a
  // process is open at a time.
  bool Open(const std::string& path);
  bool Open(const std::wstring& path);  // the same for a UTF-16 path
  // Ends the logging; Events on other threads are dropped from here on.
  void Close();

 private:
  bool Adopt(void* file);
  void* file_ = nullptr;  // the open file's HANDLE
};

// One line, written when the Event is destroyed: made as a temporary, at the
// end of its statement; made as a variable, when it goes out of scope, so
// fields can be added as a step learns them and every way out of the step
// writes its line.
class Event {
 public:
  explicit Event(const char* name);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  Event& Add(const char* key, const std::string& ansiText);
  Event& Add(const char* key, const char* ansiText);
  Event& Add(const char* key, const std::wstring& text);
  Event& Add(const char* key, bool yes);  // "yes" or "no"
  template <typename Number, typename = std::enable_if_t<std::is_integral_v<Number>>>
  Event& Add(const char* key, Number number) {
    if constexpr (std::is_signed_v<Number>)
      return AddNumber(key, static_cast<long long>(number));
    else
      return AddNumber(key, static_cast<unsigned long long>(number));
  }
  // error=<code> and error_text=<the system's text for it>, for a Win32 or
  // WinINet error code.
  Event& Error(unsigned long code);
  // Adds failed=<reason> and gives false, for a step's way out:
  //   if (!ReadRootHeader(reader, *this)) return check.Failed("no [Root] header");
  bool Failed(const char* reason);
  // Adds ms=<time from this call to the line's writing>.
  Event& Timed();
  // Writes the line now, before the Event goes; it writes nothing more.
  void Write();

 private:
  Event& AddNumber(const char* key, long long number);
  Event& AddNumber(const char* key, unsigned long long number);
  Event& AddUtf8(const char* key, const std::string& utf8);

  std::string line_;  // the name and the fields; empty when no log is open
  unsigned long long startTick_ = 0;
  bool timed_ = false;
};

// Where every event goes as well as it is written, whether or not a log is
// open: the outcome report reads the run off its events. The sink gets the
// event's name and fields without the time and thread, on the writing thread;
// it must not log. Null ends it; SetEventSink waits for calls in progress.
using EventSink = void (*)(void* context, const std::string& eventText);
void SetEventSink(EventSink sink, void* context);

// The Windows version as the system reports it: "10.0.19045".
std::string WindowsVersion();

// The system's text for an error code, without its line end, in UTF-8.
std::string SystemErrorText(unsigned long code);

}  // namespace run_log
