#include "updater/transfer/blocking_calls.h"

#include <algorithm>

#include "updater/base/run_log.h"

void SetTimeouts(HINTERNET handle, const TransferTimeouts& timeouts) {
  DWORD connect = timeouts.connectMs;
  DWORD send = timeouts.sendMs;
  DWORD receive = timeouts.receiveMs;
  InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &send, sizeof send);
  InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof receive);
}

// Gives each handle that opening the URL creates the session's time-outs, before
// it connects: not every WinINet passes them on from the session, and only a
// receive time-out set on the request ends the wait for a server that never
// answers. The context is the attempt's TransferTimeouts.
void CALLBACK PassTimeoutsOn(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD) {
  if (status != INTERNET_STATUS_HANDLE_CREATED || context == 0 || information == nullptr) return;
  const auto* created = static_cast<const INTERNET_ASYNC_RESULT*>(information);
  SetTimeouts(reinterpret_cast<HINTERNET>(created->dwResult),
              *reinterpret_cast<const TransferTimeouts*>(context));
}

std::optional<HINTERNET> OpenUrlUnlessCancelled(BlockingCallThread& thread, HINTERNET session,
                                                const std::string& url, const std::string& headers,
                                                const TransferTimeouts& timeouts, HANDLE cancelled,
                                                DWORD waitMs) {
  // The callback's context lives with the call, as long as its thread.
  auto open = [session, url, headers, timeouts]() {
    HINTERNET request = InternetOpenUrlA(session, url.c_str(), headers.empty() ? nullptr : headers.c_str(),
                                         static_cast<DWORD>(headers.size()), kOpenUrlFlags,
                                         reinterpret_cast<DWORD_PTR>(&timeouts));
    // The error is this thread's: said here, before it is lost.
    if (request == nullptr) run_log::Event("no_response").Add("url", url).Error(GetLastError());
    return request;
  };
  auto close = [](HINTERNET request) { const UniqueInternet closed(request); };
  return RunUnlessCancelled<HINTERNET>(thread, open, close, cancelled, waitMs);
}

std::optional<DataAvailable> QueryDataUnlessCancelled(BlockingCallThread& thread, HINTERNET request,
                                                      HANDLE cancelled, DWORD waitMs) {

  auto query = [request]() {
    DataAvailable available;
    available.ok = InternetQueryDataAvailable(request, &available.bytes, 0, 0) != FALSE;
    return available;
  };
  return RunUnlessCancelled<DataAvailable>(thread, query, nullptr, cancelled, waitMs);
}

bool ChunkReader::Read(char* buffer, DWORD size, DWORD& count, ULONGLONG dueTick) {
  count = 0;
  if (failed_) return false;
  while (count < size && !cancelled_) {
    if (available_ == 0) {
      const ULONGLONG now = GetTickCount64();
      const DWORD waitMs = now >= dueTick ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(dueTick - now, INFINITE - 1));
      const std::optional<DataAvailable> waited = QueryDataUnlessCancelled(thread_, request_, cancelEvent_, waitMs);
      if (!waited) {
        if (cancelled_) break;  // the caller's flag decides
        timedOut_ = true;
        return Failed(count);
      }
      if (!waited->ok) return Failed(count);
      if (waited->bytes == 0) break;  // the end of the body
      available_ = waited->bytes;
    }
    DWORD piece = 0;
    const DWORD want = std::min(available_, size - count);
    if (!InternetReadFile(request_, buffer + count, want, &piece)) return Failed(count);
    if (piece == 0) break;
    available_ -= std::min(piece, available_);
    count += piece;
  }
  return true;
}
