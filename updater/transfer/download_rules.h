#pragma once
// The download client's arithmetic and path rules. They need no Windows call,
// so they build and run natively as well.

#include <cstdint>
#include <optional>
#include <string>

#include "updater/base/text_rules.h"
#include "updater/base/update_limits.h"

// One read of the body; the transfer buffer has exactly this size.
constexpr int32_t kTransferChunkBytes = 20000;
// The progress bar's full scale (its range is 0 to 1000).
constexpr int32_t kProgressFullScale = 1000;
constexpr int kDownloadAttempts = 3;
constexpr unsigned kAttemptPauseMs = 100;
// An attempt that ends early is continued from the bytes already kept; one
// that brought new bytes costs none of the kDownloadAttempts. So that a line
// that trickles a few bytes per connection still ends the download, every
// kResumeAttemptBytes of the body buy only one more attempt: a download makes
// at most 2 * kDownloadAttempts + length / kResumeAttemptBytes attempts (with
// kAttemptPauseMs between them), each of
// which ends at the time-outs when the line goes quiet.
constexpr int64_t kResumeAttemptBytes = 64 * 1024;
// The largest bodies each kind of download accepts. Larger announced lengths
// fail before anything is written. Update files are bounded by the 32-bit
// lengths that the progress reports carry.
constexpr int64_t kSignatureMaxBytes = update_limits::kSignatureMaxBytes;
constexpr int64_t kManifestMaxBytes = update_limits::kManifestMaxBytes;
constexpr int64_t kInstallFileMaxBytes = update_limits::kInstallFileMaxBytes;
// InternetOpenUrlA flags: INTERNET_FLAG_RELOAD | INTERNET_FLAG_TRANSFER_BINARY
// (always from the server) | INTERNET_FLAG_NO_CACHE_WRITE: without it WinINet
// also copies every download into its cache, a second full copy of each update
// file on disk that nobody reads | INTERNET_FLAG_KEEP_CONNECTION, so that the
// next file costs no new connection | INTERNET_FLAG_NO_AUTO_REDIRECT: the client
// follows each redirect itself, after checking where it leads. No flag ever
// relaxes a certificate check.
constexpr uint32_t kOpenUrlFlags = 0x80000002u | 0x04000000u | 0x00400000u | 0x00200000u;
// Redirects followed for one request; one more fails the attempt.
constexpr int kMaxRedirects = 5;

// How long one attempt waits, in milliseconds, for the connection, for sending
// the request and for each receive (the answer's head and every read of the
// body). A server that accepts and then never answers would otherwise hold the
// update for ever. The values are WinINet's usual defaults on Windows, set
// explicitly because not every WinINet applies them (see download_client.cpp).
struct TransferTimeouts {
  uint32_t connectMs;
  uint32_t sendMs;
  uint32_t receiveMs;
};
constexpr TransferTimeouts kDefaultTransferTimeouts{60000, 30000, 30000};

// What one file's download may cost, whatever the server does. From the
// file's first request on, it must keep bringing bytes at floorBytesPerSecond
// once graceMs have passed: a file of L bytes ends by graceMs + L / floor, and
// a server that sends a byte at a time ends the file soon after the grace
// period, even where each byte comes before the receive time-out. (Files that
// share a line keep the floor up together: shared_line.h.) And a file
// stops once the bytes written for it pass kWrittenLengths times its length
// (bodies that start again from their first byte write the same bytes again;
// a server without ranges still gets the whole body once on each of the
// kDownloadAttempts attempts, however far the cut ones got).
struct TransferBounds {
  uint32_t graceMs;
  uint32_t floorBytesPerSecond;
};
constexpr TransferBounds kDefaultTransferBounds{30000, 1024};
constexpr int64_t kWrittenLengths = kDownloadAttempts;

// Milliseconds after the file's first request by which a file that has
// brought bytes so far must bring more, or end.
uint64_t DueMs(const TransferBounds& bounds, int64_t bytes);

// True when writing count more bytes, after written, passes the bound for a
// body of length bytes.
bool WritesPastBound(int64_t written, int64_t count, int64_t length);

// The progress step for a body of announced length L: 1000 / (L / 20000 + 2),
// in integers. The divisor is one more than the number of full reads, so the
// bar stays below full scale until the file is installed. A negative length
// (which can make the divisor 0) has no step: the response is refused.
std::optional<int32_t> ProgressStep(int32_t announcedLength);

// True for 200-299: only those responses carry the file that was asked for.
bool IsSuccessStatus(uint32_t status);

// True for the redirects the client follows: 301, 302, 303, 307 and 308.
bool IsRedirectStatus(uint32_t status);

// The path under which progress is reported: localPath without the leading
// bytes of tempFolder when it is longer, else the whole of localPath. For a
// file of the work folder this is its FilePath, the key of its dialog row.
std::string DisplayPath(const std::string& localPath, const std::string& tempFolder);

// Where the body goes. A URL whose extension (the text after its last ".") is
// exactly "bz2" is stored beside localPath under the URL's last segment; any
// other URL writes localPath itself. nullopt when that last segment is not a
// plain file name (empty, "." or "..", a separator, a drive colon, a query or
// fragment, a reserved device name...), so nothing can be written outside the
// local path's folder.
// The manifest is the exception: its name is fixed (LocalPath), since a body
// stored under a name of the server's choice would stay in the client folder.
enum class Bz2Target { UrlName, LocalPath };
std::optional<std::string> DownloadTarget(const std::string& localPath, const std::string& url,
                                          Bz2Target rule = Bz2Target::UrlName);

// A Content-Length text read as C's atoi reads a number (leading blanks, a sign,
// then digits; no digit at the start gives 0), but in 64 bits, saturating.
int64_t ParseContentLength(const std::string& text);

// A Content-Range "bytes FIRST-LAST/TOTAL" of a 206 answer.
struct ContentRange {
  int64_t first = 0;
  int64_t last = 0;
  int64_t total = 0;
};
std::optional<ContentRange> ParseContentRange(const std::string& text);

// The headers that ask for the rest of a body from byte kept on, only while
// it still is the body whose validator (an ETag or a Last-Modified date) is
// given; empty when there is nothing to continue or no validator to guard it.
std::string ResumeHeaders(int64_t kept, const std::string& validator);

// The attempts of one download: three that bring nothing, and one more per
// kResumeAttemptBytes of the body for the attempts that do. An attempt whose
// body started again from its first byte brought nothing, however far it got:
// else a server that restarts with a little more each time never runs out.
class AttemptBudget {
 public:
  // An attempt has ended with reached bytes of the body kept, restarted when
  // it dropped the bytes kept before. True while another attempt may follow.
  bool AfterAttempt(int64_t reached, int64_t announcedLength, bool restarted = false);

 private:
  int64_t bestReached_ = 0;
  int fruitless_ = 0;
  int64_t attempts_ = 0;
};

// True when a request for originalUrl, which is https, ended at (or is
// redirected to) finalUrl, which is not: such a redirect is refused.
bool IsDowngradeRedirect(const std::string& originalUrl, const std::string& finalUrl);

// True for URLs whose scheme gives an HTTP response ("http://", "https://", any
// letter case). Other schemes (ftp, file...) get no transfer.
bool IsHttpUrl(const std::string& url);

// The program's application name from its module path: the file name without
// folder and extension ("C:\\x\\Torvane.exe" gives "Torvane"). The path comes
// from the system, in the code page whose lead bytes isLeadByte tells.
std::string ApplicationName(const std::string& modulePath, LeadByteRule isLeadByte);
