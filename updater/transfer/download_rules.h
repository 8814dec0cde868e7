#pragma once
// The download client's arithmetic and path rules. They need no Windows call,
// so they build and run natively as well.

#include <cstdint>
#include <optional>
#include <string>

#include "updater/base/text_rules.h"

// One read of the body; the transfer buffer has exactly this size.
constexpr int32_t kTransferChunkBytes = 20000;
// The progress bar's full scale (its range is 0 to 1000).
constexpr int32_t kProgressFullScale = 1000;
constexpr int kDownloadAttempts = 3;
constexpr unsigned kAttemptPauseMs = 100;
// InternetOpenUrlA flags: INTERNET_FLAG_RELOAD | INTERNET_FLAG_TRANSFER_BINARY
// (always from the server) | INTERNET_FLAG_NO_CACHE_WRITE: without the last one
// WinINet also copies every download into its cache, a second full copy of
// each update file on disk that nobody reads.
constexpr uint32_t kOpenUrlFlags = 0x80000002u | 0x04000000u;

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

// The progress step for a body of announced length L: 1000 / (L / 20000 + 2),
// in integers. The divisor is one more than the number of full reads, so the
// bar stays below full scale until the file is installed. A negative length
// (which can make the divisor 0) has no step: the response is refused.
std::optional<int32_t> ProgressStep(int32_t announcedLength);

// True for 200-299: only those responses carry the file that was asked for.
bool IsSuccessStatus(uint32_t status);

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

// True for URLs whose scheme gives an HTTP response ("http://", "https://", any
// letter case). Other schemes (ftp, file...) get no transfer.
bool IsHttpUrl(const std::string& url);

// The program's application name from its module path: the file name without
// folder and extension ("C:\\x\\Torvane.exe" gives "Torvane"). The path comes
// from the system, in the code page whose lead bytes isLeadByte tells.
std::string ApplicationName(const std::string& modulePath, LeadByteRule isLeadByte);
