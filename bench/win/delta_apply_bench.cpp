// Applying patches under Wine as the updater does (ApplyPatchFile: base and
// patch mapped, output written to a file): per file, the best time of the
// rounds, MB/s of output (10^6 bytes per second) and the peak of private
// memory (commit) during the apply beyond what the process had before it; the
// mapped base and patch are file-backed and not counted. Then the decoder
// alone: base and patch already in memory, the output handed to a sink that
// keeps nothing, which is the part of the time that is ours rather than the
// file system's.
// Prints figures; judges nothing (scripts/bench-deltas.sh).
//
//   delta_apply_bench <rounds> (<name> <base> <patch> <out>)...

#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "updater/transfer/delta_patch.h"
#include "updater/transfer/patch_file.h"

namespace {

SIZE_T PrivateBytes(bool peak) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return peak ? counters.PeakPagefileUsage : counters.PagefileUsage;
}

std::vector<unsigned char> ReadAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Best time of the rounds of the decoder alone; negative when it fails.
double DecoderSeconds(const char* basePath, const char* patchPath, int rounds) {
  const std::vector<unsigned char> base = ReadAll(basePath), patch = ReadAll(patchPath);
  double best = 1e9;
  for (int r = 0; r < rounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    const delta::PatchStatus status =
        delta::ApplyPatch({patch.data(), patch.size()}, {base.data(), base.size()},
                          [](const unsigned char*, std::size_t) { return true; });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status != delta::PatchStatus::kApplied) return -1;
    if (seconds < best) best = seconds;
  }
  return best;
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
  std::printf("%-16s %10s %9s %9s %12s %9s %9s\n", "file", "output", "apply", "MB/s", "peak memory",
              "decoder", "MB/s");
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
    const double decoder = DecoderSeconds(argv[i + 1], argv[i + 2], rounds);
    std::printf("%-16s %10lld %8.4fs %9.1f %8.1f KiB %8.4fs %9.1f\n", argv[i], size, best, size / best / 1e6,
                peak > before ? (peak - before) / 1024.0 : 0.0, decoder, size / decoder / 1e6);
  }
  return 0;
}
