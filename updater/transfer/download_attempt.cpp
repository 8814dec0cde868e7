#include "updater/transfer/download_attempt.h"

#include <climits>

#include "updater/base/module_path.h"
#include "updater/base/text_rules.h"
#include "updater/transfer/blocking_calls.h"
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

// Cuts the file, if there is one yet, to its first length bytes.
void CutFile(FileDownload& download, int64_t length) {
  if (download.file && !download.file.SetLength(length)) throw TransferError("the downloaded file cannot be cut");
}

// The body starts from its first byte again. The kept bytes go at once, so
// that no record written later can name them.
void ForgetKept(FileDownload& download) {
  CutFile(download, 0);
  download.kept = 0;
  download.total = -1;
  download.validator.clear();
  if (download.sink != nullptr) download.sink->Restart();
}

}  // namespace

DownloadAttempt::DownloadAttempt(DownloadClientState& state, const TransferTimeouts& timeouts,
                                 const std::string& extraHeaders, FileDownload& download, const std::string& url,
                                 DownloadProgress* progress)
    : state_(state),
      timeouts_(timeouts),
      extraHeaders_(extraHeaders),
      download_(download),
      url_(url),
      progress_(progress),
      closeRequest_(state) {
  entry_.Add("url", url).Add("attempt", state.attempt).Timed();
}

AttemptOutcome DownloadAttempt::Run() {
  if (state_.cancelled) return Fail("cancelled");
  if (Step end = OpenSession()) return *end;
  if (Step end = Open()) return *end;
  if (Step end = CheckAnswer()) return *end;
  if (Step end = PrepareBody()) return *end;
  return ReadBody();
}

AttemptOutcome DownloadAttempt::Fail(const char* reason) {
  entry_.Failed(reason);
  return AttemptOutcome::Failed;
}

AttemptOutcome DownloadAttempt::Refuse(const char* reason) {
  entry_.Failed(reason);
  return AttemptOutcome::Refused;
}

AttemptOutcome DownloadAttempt::Overdue() {
  entry_.Add("written", state_.written);
  // On a shared line, the bytes of all its transfers were behind the floor.
  if (state_.line != nullptr) entry_.Add("line_written", state_.line->bytes());
  entry_.Add("grace_ms", state_.bounds.graceMs).Add("floor_bytes_per_s", state_.bounds.floorBytesPerSecond);
  return Refuse("slower than the floor");
}

AttemptOutcome DownloadAttempt::WrittenPast() {
  entry_.Add("received", download_.kept)
      .Add("written", state_.written)
      .Add("written_max", kWrittenLengths * total_);
  return Refuse("written past three times the length");
}

bool DownloadAttempt::Downgrades(const std::string& to) {
  if (!IsDowngradeRedirect(url_, to)) return false;
  entry_.Failed("redirected from https to http");
  return true;
}

DownloadAttempt::Step DownloadAttempt::OpenSession() {
  if (state_.Session() != nullptr) return std::nullopt;
  // Bounded like every wait before the server answers: the session is
  // opened before the first request of a run.
  const std::optional<HINTERNET> opened = OpenSessionUnlessCancelled(
      state_.blockingCalls, OwnApplicationName(), state_.cancelEvent.get(), [this] { return state_.DueTick(); });
  if (!opened) return state_.cancelled ? Fail("cancelled") : Overdue();
  HINTERNET session = *opened;
  if (session == nullptr) throw TransferError("no WinINet session");
  if (!state_.Adopt(&DownloadClientState::session, session)) return Fail("cancelled");
  SetTimeouts(session, timeouts_);
  InternetSetStatusCallbackA(session, PassTimeoutsOn);
  return std::nullopt;
}

DownloadAttempt::Step DownloadAttempt::Open() {
  if (!IsHttpUrl(url_)) {
    OutputDebugStringA(kNoHttpResponseText);
    return Fail("not an http URL");
  }
  // A body already whole, or longer than announced, is no place to go on from.
  if (download_.kept >= download_.total && download_.kept > 0) ForgetKept(download_);
  resume_ = ResumeHeaders(download_.kept, download_.validator);
  if (!resume_.empty()) entry_.Add("resumed_from", download_.kept);
  // Each redirect is followed here, once its target is known to be allowed,
  // so that an https download never sends a request in clear.
  std::string at = url_;
  for (int hop = 0;; ++hop) {
    if (state_.Overdue()) return Overdue();
    const std::optional<HINTERNET> opened =
        OpenUrlUnlessCancelled(state_.blockingCalls, state_.Session(), at, resume_ + extraHeaders_, timeouts_,
                               state_.cancelEvent.get(), [this] { return state_.DueTick(); });
    if (!opened) return state_.cancelled ? Fail("cancelled") : Overdue();
    if (*opened == nullptr) return Fail("no response");
    request_ = *opened;
    if (!state_.Adopt(&DownloadClientState::request, request_)) return Fail("cancelled");
    // The reads need no status reports.
    InternetSetStatusCallbackA(request_, nullptr);
    if (Downgrades(FinalUrl(request_))) return AttemptOutcome::Refused;
    // An error page is no update file, however well its length matches.
    DWORD statusSize = sizeof status_;
    if (!HttpQueryInfoA(request_, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status_, &statusSize,
                        nullptr)) {
      return Fail("no status");
    }
    if (!IsRedirectStatus(status_)) break;
    const std::string next = RedirectTarget(request_, at);
    entry_.Add("redirect", status_).Add("to", next);
    if (next.empty() || !IsHttpUrl(next)) return Fail("redirect without a usable Location");
    if (Downgrades(next)) return AttemptOutcome::Refused;
    if (hop == kMaxRedirects) return Fail("too many redirects");
    state_.CloseRequest();
    at = next;
  }
  entry_.Add("status", status_);
  return std::nullopt;
}

DownloadAttempt::Step DownloadAttempt::CheckAnswer() {
  if (!IsSuccessStatus(status_)) {
    // A refused range (416, or anything else) would be refused on every
    // later run too: the next attempt asks for the whole body.
    if (!resume_.empty()) ForgetKept(download_);
    return Fail("error status");
  }
  // Without a length there is nothing to tell a whole body from a cut one.
  char lengthText[32] = {};
  DWORD lengthSize = sizeof lengthText;
  if (!HttpQueryInfoA(request_, HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, nullptr)) {
    return Fail("no Content-Length");
  }
  const int64_t length =
      ParseContentLength(std::string(lengthText, lengthSize < sizeof lengthText ? lengthSize : 0));
  entry_.Add("length", length);
  if (length < 0) return Fail("length out of range");
  if (Step end = CheckRange(length)) return end;
  if (total_ > download_.maxLength) {
    entry_.Add("max_length", download_.maxLength);
    return Refuse("longer than allowed");
  }
  const std::optional<int32_t> step = ProgressStep(ReportValue(total_));
  if (!step) return Fail("length out of range");
  step_ = *step;
  // A body that cannot fit is refused before it fills the disk, which the
  // restore of a failed run still needs.
  if (!HasRoomFor(download_.path, total_ - download_.kept)) {
    entry_.Add("needed", total_ - download_.kept);
    return Refuse("not enough free space");
  }
  return std::nullopt;
}

DownloadAttempt::Step DownloadAttempt::CheckRange(int64_t length) {
  // 206 continues the kept bytes; any other success (a server without ranges,
  // or a body that changed since) is the whole body from its first byte.
  continued_ = status_ == 206;
  total_ = length;
  if (!continued_) return std::nullopt;
  const std::optional<ContentRange> range = ParseContentRange(HeaderText(request_, HTTP_QUERY_CONTENT_RANGE));
  if (resume_.empty() || !range || range->first != download_.kept || range->last + 1 != range->total ||
      length != range->total - range->first || (download_.total >= 0 && range->total != download_.total)) {
    ForgetKept(download_);  // no part of what the server holds now: start again
    state_.restarted = true;
    return Fail("range does not continue the kept bytes");
  }
  total_ = range->total;
  return std::nullopt;
}

DownloadAttempt::Step DownloadAttempt::PrepareBody() {
  if (!continued_) {
    const bool hadBytes = download_.kept > 0;
    // A body that would pass the bound by starting again is not begun, so the
    // bytes kept stay.
    if (hadBytes && WritesPastBound(state_.written, total_, total_)) return WrittenPast();
    // The old bytes go before anything (a progress report included) can
    // record the new body's validator beside them.
    CutFile(download_, 0);
    download_.kept = 0;
    download_.total = total_;
    download_.validator = ValidatorOf(request_);
    if (hadBytes && download_.sink != nullptr) download_.sink->Restart();
    state_.restarted = state_.restarted || hadBytes;
  }

  if (progress_ != nullptr) progress_->Started(ReportValue(total_), step_);

  if (!download_.file) {
    download_.file = HeldFile::Create(download_.path);
    if (!download_.file) {
      entry_.Error(GetLastError());
      return Fail("cannot create the file");
    }
  }
  CutFile(download_, download_.kept);
  return std::nullopt;
}

// The bytes go to the file as they come, so that a run that ends keeps them.
AttemptOutcome DownloadAttempt::ReadBody() {
  char buffer[kTransferChunkBytes];
  ChunkReader reader(state_.blockingCalls, request_, state_.cancelled, state_.cancelEvent.get());
  const auto due = [this] { return state_.DueTick(); };
  reportedAt_ = download_.kept;
  bool overran = false;
  for (;;) {
    DWORD count = 0;
    // A read that fails (a cut connection, a time-out) ends the attempt with
    // what it brought; the next one goes on from there.
    if (!reader.Read(buffer, sizeof buffer, count, due, state_.bounds.floorBytesPerSecond)) {
      entry_.Add("received", download_.kept);
      if (state_.cancelled) return Fail("cancelled");
      ReportReceived(true);
      return reader.timedOut() ? Overdue() : Fail("read error");
    }
    const int64_t room = total_ - download_.kept;
    if (static_cast<int64_t>(count) > room) {
      count = static_cast<DWORD>(room);
      overran = true;
    }
    const bool pastBound = WritesPastBound(state_.written, count, total_);
    // A read cut short by Cancel may end like a body: the flag decides, and
    // what came is kept unless it goes past the length or the bound.
    if (state_.cancelled) {
      if (!overran && !pastBound) Write(buffer, count);
      return Fail("cancelled");
    }
    if (pastBound) return WrittenPast();
    Write(buffer, count);
    if (count == 0 || overran) break;
    ReportReceived(false);
  }
  state_.CloseRequest();
  ReportReceived(true);
  entry_.Add("received", download_.kept);
  if (overran) {
    // A body longer than announced is not the file: none of it is kept.
    ForgetKept(download_);
    return Fail("body longer than Content-Length");
  }
  if (download_.kept != total_) return Fail("body shorter than Content-Length");
  if (progress_ != nullptr) progress_->Finished(ReportValue(download_.kept));
  return AttemptOutcome::Complete;
}

void DownloadAttempt::Write(const char* data, DWORD count) {
  if (count == 0) return;
  WriteWhole(download_.file.get(), data, count);
  state_.AddWritten(count);
  if (download_.sink != nullptr) download_.sink->Add(data, count);
  download_.kept += count;
}

void DownloadAttempt::ReportReceived(bool rest) {
  if (progress_ == nullptr) return;
  while (download_.kept - reportedAt_ >= kTransferChunkBytes) {
    reportedAt_ += kTransferChunkBytes;
    progress_->Received(ReportValue(reportedAt_));
  }
  if (rest && download_.kept > reportedAt_) {
    reportedAt_ = download_.kept;
    progress_->Received(ReportValue(reportedAt_));
  }
}
