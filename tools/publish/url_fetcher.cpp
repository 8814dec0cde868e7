#include "tools/publish/url_fetcher.h"

#include <curl/curl.h>

#include <memory>
#include <set>
#include <string>

namespace publish {
namespace {

// The updater takes a Content-Length in 32 signed bits, so no longer body can
// be an update file; a server that sends without end is cut off there.
constexpr curl_off_t kMaxBodyBytes = 0x7FFFFFFF;

struct Transfer {
  CURL* easy = nullptr;
  std::size_t index = 0;
  curl_off_t received = 0;
  std::unique_ptr<DigestPair> digests = std::make_unique<DigestPair>();
  char error[CURL_ERROR_SIZE] = {};
};

struct State {
  uint64_t bytes = 0;
};

struct Body {
  Transfer* transfer;
  State* state;
};

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  Body* body = static_cast<Body*>(user);
  body->transfer->received += static_cast<curl_off_t>(size * count);
  if (body->transfer->received > kMaxBodyBytes) return 0;  // ends the transfer with an error
  body->transfer->digests->Update(data, size * count);
  body->state->bytes += size * count;
  return size * count;
}

struct GlobalCurl {
  GlobalCurl() { curl_global_init(CURL_GLOBAL_DEFAULT); }
  ~GlobalCurl() { curl_global_cleanup(); }
};

struct UrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};


struct MultiFree {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

}  // namespace

std::string SilentHostError(const std::string& host) {
  return "not tried: " + host + " did not answer an earlier request in time";
}

std::string HostRecord::NotTried(const std::string& url, bool& unreachable) const {
  const std::string host = HostOf(url);
  unreachable = !host.empty() && unreachable_.count(host) > 0;
  if (unreachable) return "not tried: " + host + " cannot be reached";
  if (!host.empty() && silent_.count(host)) return SilentHostError(host);
  return "";
}

void HostRecord::NoteTimedOut(const std::string& url) {
  const std::string host = HostOf(url);
  if (!host.empty()) silent_.insert(host);
}

void HostRecord::NoteUnreachable(const std::string& url, const std::string& error) {
  const std::string host = HostOf(url);
  if (!host.empty()) unreachable_.emplace(host, error);
}

namespace {

// A connection refused or a name not found: no request of this host can work.
bool CannotReach(CURLcode code) {
  return code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST;
}

}  // namespace

std::string HostOf(const std::string& url) {
  std::unique_ptr<CURLU, UrlFree> parsed(curl_url());
  char* host = nullptr;
  char* port = nullptr;
  std::string result;
  if (parsed && curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK &&
      curl_url_get(parsed.get(), CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
    result = std::string(host) + ":" + port;
  }
  curl_free(host);
  curl_free(port);
  return result;
}

namespace {

// The transfers of one FetchAll: at most `parallel` at a time on one multi
// handle, each outcome written where its URL stands.
class FetchRun {
 public:
  FetchRun(const std::vector<std::string>& urls, HostRecord& hosts, long connectTimeoutSec, long stallTimeoutSec)
      : urls_(urls),
        hosts_(hosts),
        connectTimeoutSec_(connectTimeoutSec),
        stallTimeoutSec_(stallTimeoutSec),
        outcomes_(urls.size()),
        transfers_(urls.size()),
        bodies_(urls.size()),
        multi_(curl_multi_init()) {}

  std::vector<FetchOutcome> Run(int parallel, const std::function<void(const FetchProgress&)>& progress);

 private:
  void Start(std::size_t index);
  void Finish(const CURLMsg& message);

  const std::vector<std::string>& urls_;
  HostRecord& hosts_;
  const long connectTimeoutSec_;
  const long stallTimeoutSec_;
  std::vector<FetchOutcome> outcomes_;
  std::vector<std::unique_ptr<Transfer>> transfers_;
  std::vector<std::unique_ptr<Body>> bodies_;
  std::unique_ptr<CURLM, MultiFree> multi_;
  State state_;
  std::size_t running_ = 0;
  std::size_t done_ = 0;
};

std::vector<FetchOutcome> FetchRun::Run(int parallel, const std::function<void(const FetchProgress&)>& progress) {
  const std::size_t atOnce = static_cast<std::size_t>(parallel < 1 ? 1 : parallel);
  std::size_t next = 0;
  while (done_ < urls_.size()) {
    while (running_ < atOnce && next < urls_.size()) Start(next++);
    int stillRunning = 0;
    curl_multi_perform(multi_.get(), &stillRunning);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
      if (message->msg == CURLMSG_DONE) Finish(*message);
    }
    if (progress) progress(FetchProgress{done_, urls_.size(), running_, state_.bytes});
    if (done_ < urls_.size()) curl_multi_poll(multi_.get(), nullptr, 0, 100, nullptr);
  }
  return std::move(outcomes_);
}

void FetchRun::Start(std::size_t index) {
  // A host that let a request time out, or cannot be reached, is given up
  // on: its other URLs fail at once instead of each waiting as long.
  outcomes_[index].error = hosts_.NotTried(urls_[index], outcomes_[index].unreachable);
  if (!outcomes_[index].error.empty()) {
    ++done_;
    return;
  }
  auto transfer = std::make_unique<Transfer>();
  transfer->index = index;
  transfer->easy = curl_easy_init();
  bodies_[index] = std::make_unique<Body>(Body{transfer.get(), &state_});
  CURL* easy = transfer->easy;
  curl_easy_setopt(easy, CURLOPT_URL, urls_[index].c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  // WinINet follows redirects, so the updater would too.
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, connectTimeoutSec_);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, stallTimeoutSec_);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, kMaxBodyBytes);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, bodies_[index].get());
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->error);
  curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
  curl_multi_add_handle(multi_.get(), easy);
  transfers_[index] = std::move(transfer);
  ++running_;
}

void FetchRun::Finish(const CURLMsg& message) {
  Transfer* transfer = nullptr;
  curl_easy_getinfo(message.easy_handle, CURLINFO_PRIVATE, &transfer);
  const std::size_t index = transfer->index;
  FetchOutcome& outcome = outcomes_[index];
  if (transfer->received > kMaxBodyBytes || message.data.result == CURLE_FILESIZE_EXCEEDED) {
    outcome.error = "the body is longer than the 2147483647 bytes the updater can take";
  } else if (message.data.result != CURLE_OK) {
    outcome.error = transfer->error[0] ? transfer->error : curl_easy_strerror(message.data.result);
    outcome.timedOut = message.data.result == CURLE_OPERATION_TIMEDOUT;
    outcome.unreachable = CannotReach(message.data.result);
    if (outcome.timedOut) hosts_.NoteTimedOut(urls_[index]);
    if (outcome.unreachable) hosts_.NoteUnreachable(urls_[index], outcome.error);
  }
  curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &outcome.status);
  curl_off_t length = -1;
  curl_easy_getinfo(transfer->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  outcome.hasLength = length >= 0;
  outcome.length = length;
  outcome.body = transfer->digests->Final();
  curl_multi_remove_handle(multi_.get(), transfer->easy);
  curl_easy_cleanup(transfer->easy);
  transfers_[index].reset();
  bodies_[index].reset();
  --running_;
  ++done_;
}

}  // namespace

std::vector<FetchOutcome> FetchAll(const std::vector<std::string>& urls, int parallel,
                                   const std::function<void(const FetchProgress&)>& progress, HostRecord& hosts,
                                   long connectTimeoutSec, long stallTimeoutSec) {
  GlobalCurl global;
  return FetchRun(urls, hosts, connectTimeoutSec, stallTimeoutSec).Run(parallel, progress);
}

namespace {

struct CurlFree {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

struct HeldBody {
  std::string bytes;
  std::size_t limit;
};

std::size_t AppendHeld(char* data, std::size_t size, std::size_t count, void* user) {
  HeldBody& body = *static_cast<HeldBody*>(user);
  if (body.bytes.size() + size * count > body.limit) return 0;  // ends the transfer
  body.bytes.append(data, size * count);
  return size * count;
}

}  // namespace

bool FetchBody(const std::string& url, std::size_t limit, long timeoutSec, HostRecord& hosts, std::string& bytes,
               std::string& error, bool* unreachable) {
  bool notReached = false;
  error = hosts.NotTried(url, notReached);
  if (unreachable) *unreachable = notReached;
  if (!error.empty()) return false;
  std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
  if (!curl) {
    error = "cannot start a transfer";
    return false;
  }
  HeldBody body{std::string(), limit};
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, AppendHeld);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, timeoutSec);
  curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_TIME, timeoutSec);
  const CURLcode code = curl_easy_perform(curl.get());
  if (code == CURLE_OPERATION_TIMEDOUT) hosts.NoteTimedOut(url);
  if (CannotReach(code)) {
    hosts.NoteUnreachable(url, curl_easy_strerror(code));
    if (unreachable) *unreachable = true;
  }
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  if (code != CURLE_OK) {
    error = body.bytes.size() >= limit ? "longer than listed" : curl_easy_strerror(code);
    return false;
  }
  if (status < 200 || status > 299) {
    error = "HTTP status " + std::to_string(status);
    return false;
  }
  bytes = std::move(body.bytes);
  return true;
}

}  // namespace publish
