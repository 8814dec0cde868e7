// One attempt of a download: the request (with Range and If-Range when bytes
// are kept), the checks of the answer (status, length, range, limits), and the
// body written into the file and the sink.

#include <windows.h>
#include <wininet.h>

#include <climits>
#include <optional>
#include <string>

#include "updater/transfer/download_client.h"

#include "updater/base/module_path.h"
#include "updater/base/run_log.h"
#include "updater/base/scoped_handle.h"
#include "updater/base/text_rules.h"
#include "updater/transfer/blocking_calls.h"
#include "updater/transfer/download_client_state.h"
#include "updater/transfer/http_validator.h"

namespace {

// The reason of a false result for a URL that gives no HTTP response. The user
// never sees it; it goes to the debugger's output.
constexpr char kNoHttpResponseText[] = "到指定服务器的连接建立失败...";

void WriteWhole(HANDLE file, const char* data, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(file, data, size, &written, nullptr) || written == 0) {
      run_log::Event("write_failed").Error(GetLastError());
      throw TransferError("writing the downloaded file failed");
    }
    data += written;
    size -= written;
  }
}

std::string OwnApplicationName() {
  char path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return ApplicationName(std::string(path, n < MAX_PATH ? n : 0), IsAnsiLeadByte);
}

int32_t ReportValue(int64_t bytes) { return bytes > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bytes); }

// The text of one response header; empty when it is absent.
std::string HeaderText(HINTERNET request, DWORD query) {
  char text[512] = {};
  DWORD size = sizeof text;
  if (!HttpQueryInfoA(request, query, text, &size, nullptr) || size >= sizeof text) return std::string();
  return std::string(text, size);
}

// Only a strong validator may guard a range (http_validator.h).
std::string ValidatorOf(HINTERNET request) {
  return IfRangeValidator(HeaderText(request, HTTP_QUERY_ETAG), HeaderText(request, HTTP_QUERY_LAST_MODIFIED),
                          HeaderText(request, HTTP_QUERY_DATE));
}

// Where a redirect answer points: its Location, resolved against the URL
// asked for; empty when there is none.
std::string RedirectTarget(HINTERNET request, const std::string& from) {
  char location[4096] = {};
  DWORD size = sizeof location;
  if (!HttpQueryInfoA(request, HTTP_QUERY_LOCATION, location, &size, nullptr) || size >= sizeof location) {
    return std::string();
  }
  char combined[4096] = {};
  DWORD combinedSize = sizeof combined;
  if (!InternetCombineUrlA(from.c_str(), location, combined, &combinedSize, ICU_NO_ENCODE)) return std::string();
  return std::string(combined, combinedSize < sizeof combined ? combinedSize : 0);
}

// The URL the request ended at after the redirects WinINet followed.
std::string FinalUrl(HINTERNET request) {
  char text[4096] = {};
  DWORD size = sizeof text;
  if (!InternetQueryOptionA(request, INTERNET_OPTION_URL, text, &size)) return std::string();
  return std::string(text, size < sizeof text ? size : 0);
}

// Whether the volume of path has bytes free; true when that cannot be told.
bool HasRoomFor(const std::string& path, int64_t bytes) {
  const std::size_t slash = path.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  ULARGE_INTEGER free{};
  if (!GetDiskFreeSpaceExA(folder.c_str(), &free, nullptr, nullptr)) return true;
  return bytes <= 0 || free.QuadPart >= static_cast<uint64_t>(bytes);
}

// The body starts from its first byte again. The kept bytes go at once, so
// that no record written later can name them.
void ForgetKept(FileDownload& download) {
  if (download.file && !download.file.SetLength(0))
    throw TransferError("the downloaded file cannot be cut");
  download.kept = 0;
  download.total = -1;
  download.validator.clear();
  if (download.sink != nullptr) download.sink->Restart();
}

}  // namespace

DownloadClient::Outcome DownloadClient::Attempt(FileDownload& download, const std::string& url,
                                                DownloadProgress* progress) {
  State& state = *state_;
  // Written however the attempt ends.
  run_log::Event entry("request");
  entry.Add("url", url).Add("attempt", state.attempt).Timed();
  auto fail = [&entry](const char* reason) {
    entry.Failed(reason);
    return Outcome::Failed;
  };
  // A file that fell behind its floor throughput makes no further attempt.
  auto overdue = [&entry, &state]() {
    entry.Add("written", state.written)
        .Add("grace_ms", state.bounds.graceMs)
        .Add("floor_bytes_per_s", state.bounds.floorBytesPerSecond)
        .Failed("slower than the floor");
    return Outcome::Refused;
  };
  if (state.cancelled) return fail("cancelled");

  State::AttemptRequest closeRequest(state);
  if (state.Session() == nullptr) {
    HINTERNET session =
        InternetOpenA(OwnApplicationName().c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr) throw TransferError("no WinINet session");
    if (!state.Adopt(&State::session, session)) return fail("cancelled");
    SetTimeouts(session, timeouts);
    InternetSetStatusCallbackA(session, PassTimeoutsOn);
  }

  if (!IsHttpUrl(url)) {
    OutputDebugStringA(kNoHttpResponseText);
    return fail("not an http URL");
  }
  // A body already whole, or longer than announced, is no place to go on from.
  if (download.kept >= download.total && download.kept > 0) ForgetKept(download);
  const std::string resume = ResumeHeaders(download.kept, download.validator);
  if (!resume.empty()) entry.Add("resumed_from", download.kept);
  // Each redirect is followed here, once its target is known to be allowed,
  // so that an https download never sends a request in clear.
  std::string at = url;
  HINTERNET request = nullptr;
  DWORD status = 0;
  for (int hop = 0;; ++hop) {
    if (state.Overdue()) return overdue();
    const std::optional<HINTERNET> opened =
        OpenUrlUnlessCancelled(state.blockingCalls, state.Session(), at, resume + extraHeaders, timeouts,
                               state.cancelEvent.get(), state.WaitMs());
    if (!opened) return state.cancelled ? fail("cancelled") : overdue();
    if (*opened == nullptr) return fail("no response");
    request = *opened;
    if (!state.Adopt(&State::request, request)) return fail("cancelled");
    // The reads need no status reports.
    InternetSetStatusCallbackA(request, nullptr);
    // An https download never continues over plain http.
    if (IsDowngradeRedirect(url, FinalUrl(request))) {
      entry.Failed("redirected from https to http");
      return Outcome::Refused;
    }
    // An error page is no update file, however well its length matches.
    DWORD statusSize = sizeof status;
    if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize,
                        nullptr)) {
      return fail("no status");
    }
    if (!IsRedirectStatus(status)) break;
    const std::string next = RedirectTarget(request, at);
    entry.Add("redirect", status).Add("to", next);
    if (next.empty() || !IsHttpUrl(next)) return fail("redirect without a usable Location");
    if (IsDowngradeRedirect(url, next)) {
      entry.Failed("redirected from https to http");
      return Outcome::Refused;
    }
    if (hop == kMaxRedirects) return fail("too many redirects");
    state.CloseRequest();
    at = next;
  }
  entry.Add("status", status);
  if (!IsSuccessStatus(status)) {
    // A refused range (416, or anything else) would be refused on every
    // later run too: the next attempt asks for the whole body.
    if (!resume.empty()) ForgetKept(download);
    return fail("error status");
  }
  // Without a length there is nothing to tell a whole body from a cut one.
  char lengthText[32] = {};
  DWORD lengthSize = sizeof lengthText;
  if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, nullptr)) {
    return fail("no Content-Length");
  }
  const int64_t length =
      ParseContentLength(std::string(lengthText, lengthSize < sizeof lengthText ? lengthSize : 0));
  entry.Add("length", length);
  if (length < 0) return fail("length out of range");

  // 206 continues the kept bytes; any other success (a server without ranges,
  // or a body that changed since) is the whole body from its first byte.
  const bool continued = status == 206;
  int64_t total = length;
  if (continued) {
    const std::optional<ContentRange> range =
        ParseContentRange(HeaderText(request, HTTP_QUERY_CONTENT_RANGE));
    if (resume.empty() || !range || range->first != download.kept || range->last + 1 != range->total ||
        length != range->total - range->first || (download.total >= 0 && range->total != download.total)) {
      ForgetKept(download);  // no part of what the server holds now: start again
      state.restarted = true;
      return fail("range does not continue the kept bytes");
    }
    total = range->total;
  }
  if (total > download.maxLength) {
    entry.Add("max_length", download.maxLength).Failed("longer than allowed");
    return Outcome::Refused;
  }
  const std::optional<int32_t> step = ProgressStep(ReportValue(total));
  if (!step) return fail("length out of range");
  // A body that cannot fit is refused before it fills the disk, which the
  // restore of a failed run still needs.
  if (!HasRoomFor(download.path, total - download.kept)) {
    entry.Add("needed", total - download.kept).Failed("not enough free space");
    return Outcome::Refused;
  }
  // A file never writes more than twice its length: a body that would pass
  // that by starting again is not begun, so the bytes kept stay.
  auto writtenPast = [&entry, &state, &download, total]() {
    entry.Add("received", download.kept).Add("written", state.written).Add("written_max", kWrittenLengths * total);
    entry.Failed("written past twice the length");
    return Outcome::Refused;
  };
  if (!continued) {
    const bool hadBytes = download.kept > 0;
    if (hadBytes && WritesPastBound(state.written, total, total)) return writtenPast();
    // The old bytes go before anything (a progress report included) can
    // record the new body's validator beside them.
    if (download.file && !download.file.SetLength(0)) {
      throw TransferError("the downloaded file cannot be cut");
    }
    download.kept = 0;
    download.total = total;
    download.validator = ValidatorOf(request);
    if (hadBytes && download.sink != nullptr) download.sink->Restart();
    state.restarted = state.restarted || hadBytes;
  }

  if (progress != nullptr) progress->Started(ReportValue(total), *step);

  if (!download.file) {
    download.file = HeldFile::Create(download.path);
    if (!download.file) {
      entry.Error(GetLastError());
      return fail("cannot create the file");
    }
  }
  if (!download.file.SetLength(download.kept))
    throw TransferError("the downloaded file cannot be cut");

  char buffer[kTransferChunkBytes];
  ChunkReader reader(state.blockingCalls, request, state.cancelled, state.cancelEvent.get());
  bool overran = false;
  for (;;) {
    DWORD count = 0;
    // A read that fails (a cut connection, a time-out) ends the attempt with
    // what it brought; the next one goes on from there.
    if (!reader.Read(buffer, sizeof buffer, count, state.DueTick(), state.bounds.floorBytesPerSecond)) {
      entry.Add("received", download.kept);
      if (state.cancelled) return fail("cancelled");
      return reader.timedOut() ? overdue() : fail("read error");
    }
    // A read cut short by Cancel may end like a body: the flag decides.
    if (state.cancelled) return fail("cancelled");
    if (count == 0) break;
    const int64_t room = total - download.kept;
    if (static_cast<int64_t>(count) > room) {
      count = static_cast<DWORD>(room);
      overran = true;
    }
    if (WritesPastBound(state.written, count, total)) return writtenPast();
    if (count > 0) {
      WriteWhole(download.file.get(), buffer, count);
      state.written += count;
      if (download.sink != nullptr) download.sink->Add(buffer, count);
      download.kept += count;
      if (progress != nullptr) progress->Received(ReportValue(download.kept));
    }
    if (overran) break;
  }
  state.CloseRequest();

  entry.Add("received", download.kept);
  if (overran) {
    // A body longer than announced is not the file: none of it is kept.
    ForgetKept(download);
    return fail("body longer than Content-Length");
  }
  if (download.kept != total) return fail("body shorter than Content-Length");
  if (progress != nullptr) progress->Finished(ReportValue(download.kept));
  return Outcome::Complete;
}

