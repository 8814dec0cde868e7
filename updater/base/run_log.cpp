// The run log's file and its events (run_log.h).
//
// Threads: Events are written from the user-interface thread, the worker and
// the download queue's threads at once. Each line goes out in a single
// WriteFile on a handle opened for appending, one line at a time: an append
// is not atomic everywhere (Wine seeks to the end, then writes), so two
// writers at once could overwrite each other. The lock also keeps Close from
// closing the handle under a writer. No line is flushed to the disk: a
// killed process's writes are already the system's and reach the file; only a
// power cut can lose the last lines, as it can any file not flushed.

#include "updater/base/run_log.h"

#include <windows.h>

#include "updater/base/run_log_text.h"

namespace run_log {
namespace {

// Logging never changes what a caller's GetLastError reads next, so a
// failure can be logged before its error code is: each public call keeps it.
class KeepLastError {
 public:
  KeepLastError() : error_(GetLastError()) {}
  ~KeepLastError() { SetLastError(error_); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD error_;
};

// The process's open log. LogFile::Open, Close and the writers take the lock
// exclusively; only the test for an open log shares it.
SRWLOCK openLock = SRWLOCK_INIT;
HANDLE openFile = nullptr;
EventSink eventSink = nullptr;
void* eventSinkContext = nullptr;

// Whether an Event has anywhere to go.
bool LogIsOpen() {
  AcquireSRWLockShared(&openLock);
  const bool open = openFile != nullptr || eventSink != nullptr;
  ReleaseSRWLockShared(&openLock);
  return open;
}

void PassToSink(const std::string& eventText) {
  AcquireSRWLockShared(&openLock);
  if (eventSink != nullptr) eventSink(eventSinkContext, eventText);
  ReleaseSRWLockShared(&openLock);
}

void WriteLine(const std::string& line) {
  AcquireSRWLockExclusive(&openLock);
  if (openFile != nullptr) {
    DWORD written = 0;
    WriteFile(openFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  ReleaseSRWLockExclusive(&openLock);
}

std::u16string Utf16Of(const wchar_t* text, int length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), static_cast<std::size_t>(length));
}

// The updater's texts are code page 936, whatever the machine's ANSI code page.
std::string AnsiToUtf8(const std::string& text) {
  if (text.empty()) return text;
  constexpr UINT kGbk = 936;
  const int size = static_cast<int>(text.size());
  UINT codePage = kGbk;
  int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  if (length == 0) length = MultiByteToWideChar(codePage = CP_ACP, 0, text.data(), size, nullptr, 0);
  if (length == 0) return std::string();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), size, &wide[0], length);
  return Utf16ToUtf8(Utf16Of(wide.data(), length));
}

UtcTime Now() {
  SYSTEMTIME t;
  GetSystemTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

// Other programs may read the log while it is written, and it may be renamed
// (rotated by another run) under an open handle.
constexpr DWORD kLogShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

ULONGLONG SizeOf(const WIN32_FILE_ATTRIBUTE_DATA& data) {
  return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

ULONGLONG FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ? SizeOf(data) : 0;
}

ULONGLONG FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ? SizeOf(data) : 0;
}

// A read-only log is how a user or an administrator turns the log off. The
// system refuses to write one anyway, but not every system (nor Wine run as
// root) does, so it is asked first.
bool IsReadOnly(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

}  // namespace

bool LogFile::Open(const std::string& path) {
  const KeepLastError keep;
  Close();
  if (IsReadOnly(GetFileAttributesA(path.c_str()))) return false;
  if (RotationDue(FileSize(path)))
    MoveFileExA(path.c_str(), RotatedPath(path).c_str(), MOVEFILE_REPLACE_EXISTING);
  return Adopt(CreateFileA(path.c_str(), FILE_APPEND_DATA, kLogShare, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool LogFile::Open(const std::wstring& path) {
  const KeepLastError keep;
  Close();
  if (IsReadOnly(GetFileAttributesW(path.c_str()))) return false;
  if (RotationDue(FileSize(path))) {
    MoveFileExW(path.c_str(), (path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  return Adopt(CreateFileW(path.c_str(), FILE_APPEND_DATA, kLogShare, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool LogFile::Adopt(void* file) {
  if (file == INVALID_HANDLE_VALUE) return false;
  AcquireSRWLockExclusive(&openLock);
  if (openFile == nullptr) {
    openFile = file_ = file;
    file = nullptr;
  }
  ReleaseSRWLockExclusive(&openLock);
  // Another LogFile of the process is open already.
  if (file != nullptr) CloseHandle(file);
  return file_ != nullptr;
}

void LogFile::Close() {
  const KeepLastError keep;
  if (file_ == nullptr) return;
  AcquireSRWLockExclusive(&openLock);
  if (openFile == file_) openFile = nullptr;
  ReleaseSRWLockExclusive(&openLock);
  CloseHandle(static_cast<HANDLE>(file_));
  file_ = nullptr;
}

Event::Event(const char* name) {
  const KeepLastError keep;
  if (!LogIsOpen()) return;
  try {
    line_ = name;
  } catch (...) {
    line_.clear();
  }
}

Event::~Event() { Write(); }

Event& Event::Timed() {
  const KeepLastError keep;
  startTick_ = GetTickCount64();
  timed_ = true;
  return *this;
}

void Event::Write() {
  const KeepLastError keep;
  if (line_.empty()) return;
  try {
    if (timed_) AppendField(line_, "ms", std::to_string(GetTickCount64() - startTick_));
    PassToSink(line_);
    // Stamped when written, so that the lines stay in the order of time.
    WriteLine(LineStart(Now(), GetCurrentThreadId(), line_) + "\r\n");
  } catch (...) {
  }
  line_.clear();
}

bool Event::Failed(const char* reason) {
  Add("failed", reason);
  return false;
}

Event& Event::AddUtf8(const char* key, const std::string& utf8) {
  const KeepLastError keep;
  if (line_.empty()) return *this;
  try {
    AppendField(line_, key, utf8);
  } catch (...) {
    line_.clear();  // out of memory: the line is dropped
  }
  return *this;
}

Event& Event::Add(const char* key, const std::string& ansiText) {
  const KeepLastError keep;
  if (line_.empty()) return *this;
  try {
    return AddUtf8(key, AnsiToUtf8(ansiText));
  } catch (...) {
    line_.clear();
    return *this;
  }
}

Event& Event::Add(const char* key, const char* ansiText) {
  if (line_.empty()) return *this;
  try {
    return Add(key, std::string(ansiText != nullptr ? ansiText : ""));
  } catch (...) {
    line_.clear();
    return *this;
  }
}

Event& Event::Add(const char* key, const std::wstring& text) {
  const KeepLastError keep;
  if (line_.empty()) return *this;
  try {
    return AddUtf8(key, Utf16ToUtf8(Utf16Of(text.data(), static_cast<int>(text.size()))));
  } catch (...) {
    line_.clear();
    return *this;
  }
}

Event& Event::Add(const char* key, bool yes) { return AddUtf8(key, yes ? "yes" : "no"); }

Event& Event::AddNumber(const char* key, long long number) {
  if (line_.empty()) return *this;
  return AddUtf8(key, std::to_string(number));
}

Event& Event::AddNumber(const char* key, unsigned long long number) {
  if (line_.empty()) return *this;
  return AddUtf8(key, std::to_string(number));
}

Event& Event::Error(unsigned long code) {
  const KeepLastError keep;
  if (line_.empty()) return *this;
  AddNumber("error", static_cast<unsigned long long>(code));
  try {
    return AddUtf8("error_text", SystemErrorText(code));
  } catch (...) {
    line_.clear();
    return *this;
  }
}

void SetEventSink(EventSink sink, void* context) {
  AcquireSRWLockExclusive(&openLock);
  eventSink = sink;
  eventSinkContext = context;
  ReleaseSRWLockExclusive(&openLock);
}

std::string WindowsVersion() {
  const KeepLastError keep;
  // GetVersionEx answers what the program's manifest declares; the kernel's
  // own call tells the truth.
  using RtlGetVersionCall = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof info;
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto call = ntdll ? reinterpret_cast<RtlGetVersionCall>(
                          reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")))
                    : nullptr;
  if (call == nullptr || call(&info) != 0) return "unknown";
  return std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
         std::to_string(info.dwBuildNumber);
}

std::string SystemErrorText(unsigned long code) {
  const KeepLastError keep;
  // WinINet's codes (12000 to 12199) are WinINet's own texts, once it is loaded.
  constexpr unsigned long kInternetFirst = 12000, kInternetLast = 12199;
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE source = nullptr;
  if (code >= kInternetFirst && code <= kInternetLast) {
    source = GetModuleHandleW(L"wininet.dll");
    if (source != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  }
  wchar_t text[512];
  DWORD length = FormatMessageW(flags, source, code, 0, text, sizeof text / sizeof text[0], nullptr);
  while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' ')) {
    --length;
  }
  return Utf16ToUtf8(Utf16Of(text, static_cast<int>(length)));
}

}  // namespace run_log
