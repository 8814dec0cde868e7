// A bare WinINet download loop, the yardstick of the download client: for each
// URL a session of its own, InternetOpenUrlA with the client's flags, reads of
// 20000 bytes into one buffer, each written to a file; no progress, no checks.
// With --durable each file is flushed to the disk before it is closed, as an
// install must do before it counts a file as in place.
//
//   wininet_fetch [--flags HEX] [--durable] [--out FOLDER] URL...
//
// Files are written as FOLDER\0.bin, FOLDER\1.bin... (FOLDER defaults to the
// current folder). Prints the files, bytes, seconds and MiB/s of the whole run
// on one line starting with "bare-loop:". Exit code 1 when any URL failed.

#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "updater/transfer/download_rules.h"

namespace {

// Returns the bytes written, or -1 when the URL could not be fetched.
long long Fetch(const std::string& url, const std::string& path, DWORD flags, bool durable) {
  static char buffer[kTransferChunkBytes];
  HINTERNET session = InternetOpenA("wininet_fetch", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (session == nullptr) return -1;
  long long total = -1;
  HINTERNET request = InternetOpenUrlA(session, url.c_str(), nullptr, 0, flags, 1);
  if (request != nullptr) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      total = 0;
      DWORD count = 0;
      while (InternetReadFile(request, buffer, sizeof buffer, &count) && count > 0) {
        DWORD written = 0;
        if (!WriteFile(file, buffer, count, &written, nullptr) || written != count) {
          total = -1;
          break;
        }
        total += count;
      }
      if (durable && total >= 0 && !FlushFileBuffers(file)) total = -1;
      CloseHandle(file);
    }
    InternetCloseHandle(request);
  }
  InternetCloseHandle(session);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  DWORD flags = kOpenUrlFlags;
  std::string folder = ".";
  bool durable = false;
  std::vector<std::string> urls;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--flags" && i + 1 < argc) {
      flags = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 16));
    } else if (arg == "--durable") {
      durable = true;
    } else if (arg == "--out" && i + 1 < argc) {
      folder = argv[++i];
    } else {
      urls.push_back(arg);
    }
  }
  if (urls.empty()) {
    std::fprintf(stderr, "usage: wininet_fetch [--flags HEX] [--durable] [--out FOLDER] URL...\n");
    return 2;
  }

  const auto start = std::chrono::steady_clock::now();
  long long bytes = 0;
  int failed = 0;
  for (std::size_t i = 0; i < urls.size(); ++i) {
    long long n = Fetch(urls[i], folder + "\\" + std::to_string(i) + ".bin", flags, durable);
    if (n < 0) {
      ++failed;
      std::fprintf(stderr, "wininet_fetch: failed: %s\n", urls[i].c_str());
    } else {
      bytes += n;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("bare-loop%s: flags 0x%08lx, %zu files, %lld bytes, %.3f s, %.1f MiB/s\n",
              durable ? " (durable)" : "", static_cast<unsigned long>(flags), urls.size(), bytes, seconds, bytes / 1048576.0 / seconds);
  return failed ? 1 : 0;
}
