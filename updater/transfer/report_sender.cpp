#include "updater/transfer/report_sender.h"

#include <windows.h>
#include <wininet.h>

#include <memory>
#include <mutex>

#include "updater/base/scoped_handle.h"
#include "updater/transfer/blocking_calls.h"

namespace {

// Short: a report is worth little next to the user's time, and it is kept
// for the next run when it does not get through.
constexpr DWORD kRequestTimeoutMs = 3000;
constexpr int kMaxRedirects = 3;
constexpr DWORD kRequestFlags = INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                                INTERNET_FLAG_PRAGMA_NOCACHE;

// What the sending thread and the waiting caller share; the last of them to
// let go frees it, whichever that is.
struct Shared {
  std::vector<std::string> urls;
  std::vector<ReportDelivery> deliveries;
  std::mutex mutex;  // guards deliveries
};

bool IsRedirect(DWORD status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string HeaderText(HINTERNET request, DWORD query) {
  char text[2048];
  DWORD size = sizeof text;
  if (!HttpQueryInfoA(request, query, text, &size, nullptr)) return std::string();
  return std::string(text, size);
}

// One GET of url; the redirect target, when it is one to follow, in next.
ReportDelivery SendOnce(HINTERNET session, const std::string& url, std::string& next) {
  ReportDelivery delivery;
  char host[256] = {}, path[2048] = {};
  URL_COMPONENTSA parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = sizeof host;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = sizeof path;
  if (!InternetCrackUrlA(url.c_str(), 0, 0, &parts)) {
    delivery.error = GetLastError();
    return delivery;
  }
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  UniqueInternet connection(
      InternetConnectA(session, host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  UniqueInternet request(connection ? HttpOpenRequestA(connection.get(), "GET", path, nullptr, nullptr, nullptr,
                                                       kRequestFlags | (secure ? INTERNET_FLAG_SECURE : 0), 0)
                                    : nullptr);
  if (!request) {
    delivery.error = GetLastError();
    return delivery;
  }
  // Set on the request itself: Wine passes a session's time-outs on to none.
  SetTimeouts(request.get(), TransferTimeouts{kRequestTimeoutMs, kRequestTimeoutMs, kRequestTimeoutMs});
  if (!HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0)) {
    delivery.error = GetLastError();
    return delivery;
  }
  DWORD status = 0, size = sizeof status;
  if (!HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
    delivery.error = GetLastError();
    return delivery;
  }
  delivery.answered = true;
  delivery.status = status;
  const std::string location = HeaderText(request.get(), HTTP_QUERY_LOCATION);
  if (secure && IsRedirect(status) && !location.empty()) {
    char combined[2048];
    DWORD length = sizeof combined;
    if (InternetCombineUrlA(url.c_str(), location.c_str(), combined, &length, ICU_NO_ENCODE) &&
        std::string(combined, length).compare(0, 8, "https://") == 0) {
      next.assign(combined, length);
    }
  }
  return delivery;
}

ReportDelivery Send(HINTERNET session, std::string url) {
  ReportDelivery delivery;
  for (int hop = 0; hop <= kMaxRedirects; ++hop) {
    std::string next;
    delivery = SendOnce(session, url, next);
    if (next.empty()) break;
    url = next;
  }
  return delivery;
}

DWORD WINAPI SendAll(void* parameter) {
  const std::unique_ptr<std::shared_ptr<Shared>> owner(static_cast<std::shared_ptr<Shared>*>(parameter));
  Shared& shared = **owner;
  UniqueInternet session(InternetOpenA("Torvane", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  for (std::size_t i = 0; i < shared.urls.size(); ++i) {
    ReportDelivery delivery;
    if (session) {
      delivery = Send(session.get(), shared.urls[i]);
    } else {
      delivery.error = GetLastError();
    }
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.deliveries[i] = delivery;
  }
  return 0;
}

}  // namespace

std::vector<ReportDelivery> SendReports(const std::vector<std::string>& urls, uint32_t waitMs) {
  std::vector<ReportDelivery> none(urls.size());
  if (urls.empty()) return none;
  auto shared = std::make_shared<Shared>();
  shared->urls = urls;
  shared->deliveries.resize(urls.size());
  auto* handOver = new std::shared_ptr<Shared>(shared);
  UniqueHandle thread(CreateThread(nullptr, 0, SendAll, handOver, 0, nullptr));
  if (!thread) {
    delete handOver;
    return none;
  }
  // The thread's end, not its last answer: the program ends right after this,
  // and it ends well defined only with each thread gone or blocked in a wait,
  // not still closing its WinINet session or half-way through its own end.
  // Past waitMs the thread is blocked in a call that waits for the server,
  // where the process's end stops it.
  WaitForSingleObject(thread.get(), waitMs);
  std::lock_guard<std::mutex> lock(shared->mutex);
  return shared->deliveries;
}
