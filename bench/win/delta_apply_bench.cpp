// Applying patches under Wine as the updater does (ApplyPatchFile: base and
// patch mapped, output written to a file): per file, the best time of the
// rounds, MB/s of output (10^6 bytes per second) and the peak of private
// memory (commit) during the apply beyond what the process had before it; the
// mapped base and patch are file-backed and not counted.
// Prints figures; judges nothing (scripts/bench-deltas.sh).
//
//   delta_apply_bench <rounds> (<name> <base> <patch> <out>)...

#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "updater/transfer/patch_file.h"

namespace {

SIZE_T PrivateBytes(bool peak) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return peak ? counters.PeakPagefileUsage : counters.PagefileUsage;
}

long long FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6 || (argc - 2) % 4 != 0) {
    std::fprintf(stderr, "usage: delta_apply_bench <rounds> (<name> <base> <patch> <out>)...\n");
    return 2;
  }
  const int rounds = std::atoi(argv[1]);
  std::printf("%-12s %10s %9s %9s %12s\n", "file", "output", "apply", "MB/s", "peak memory");
  for (int i = 2; i + 3 < argc; i += 4) {
    double best = 1e9;
    const SIZE_T before = PrivateBytes(false);
    for (int r = 0; r < rounds; ++r) {
      const auto start = std::chrono::steady_clock::now();
      if (!ApplyPatchFile(argv[i + 1], argv[i + 2], argv[i + 3])) {
        std::fprintf(stderr, "%s: the patch did not apply\n", argv[i]);
        return 1;
      }
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (seconds < best) best = seconds;
    }
    const SIZE_T peak = PrivateBytes(true);
    const long long size = FileSize(argv[i + 3]);
    std::printf("%-12s %10lld %8.4fs %9.1f %9.1f KiB\n", argv[i], size, best, size / best / 1e6,
                peak > before ? (peak - before) / 1024.0 : 0.0);
  }
  return 0;
}
