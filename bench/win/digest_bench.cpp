// The two digests a signed update checks on every file, under Wine: MB/s
// (10^6 bytes per second, wall clock, best of the rounds, file in the page
// cache) of FileMd5Text and of FileSha256Text (CNG), on the same file.
// Prints figures; judges nothing.
//
//   digest_bench <file> [rounds]

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "updater/transfer/cng.h"
#include "updater/transfer/md5.h"

namespace {

double BestMegabytesPerSecond(std::string (*digest)(const std::string&), const std::string& path,
                              double bytes, int rounds, std::string& text) {
  double best = 0;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    text = digest(path);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > 0 && bytes / seconds / 1e6 > best) best = bytes / seconds / 1e6;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: digest_bench <file> [rounds]\n");
    return 2;
  }
  const std::string path = argv[1];
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 1;
  const double bytes =
      static_cast<double>((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  std::string md5, sha256;
  const double md5Rate = BestMegabytesPerSecond(FileMd5Text, path, bytes, rounds, md5);
  const double sha256Rate = BestMegabytesPerSecond(FileSha256Text, path, bytes, rounds, sha256);
  std::printf("file        %.0f bytes\n", bytes);
  std::printf("MD5         %8.1f MB/s  %s\n", md5Rate, md5.c_str());
  std::printf("SHA-256     %8.1f MB/s  %s\n", sha256Rate, sha256.c_str());
  return md5.empty() || sha256.empty() ? 1 : 0;
}
