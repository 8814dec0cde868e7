// The publisher's side of a patch: makes the patch from base to target as
// release --deltas does (in place, no copies), writes it, and prints one line:
// full size, patch size, ratio, diff time (seconds), the process's peak
// memory over the larger file, and the decoder's speed natively (output MB/s,
// best of 3, base and patch in memory, output to a sink that keeps nothing).
// Prints figures; judges nothing (scripts/bench-deltas.sh).
//
//   delta_bench <base> <target> <patch-out>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "tools/publish/delta_encoder.h"
#include "updater/transfer/delta_patch.h"

namespace {

using Clock = std::chrono::steady_clock;

// Read at the file's size, so the buffer never grows past it.
bool ReadAll(const char* path, std::vector<unsigned char>& bytes) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  std::ifstream in(path, std::ios::binary);
  if (ec || !in) return false;
  bytes.resize(size);
  return static_cast<bool>(
      in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size)));
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: delta_bench <base> <target> <patch-out>\n");
    return 2;
  }
  std::vector<unsigned char> base, target, patch;
  if (!ReadAll(argv[1], base) || !ReadAll(argv[2], target)) {
    std::fprintf(stderr, "cannot read the files\n");
    return 1;
  }
  const auto start = Clock::now();
  if (!delta::MakePatchInPlace(base, target, patch)) {
    std::fprintf(stderr, "no patch made\n");
    return 1;
  }
  const double seconds = Seconds(start);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double peak = static_cast<double>(usage.ru_maxrss) * 1024;  // kilobytes on Linux
  if (!delta::PatchMakesTarget(patch, base, target)) {
    std::fprintf(stderr, "the patch does not make the target\n");
    return 1;
  }
  double best = 0;
  for (int round = 0; round < 3; ++round) {
    const auto applyStart = Clock::now();
    delta::ApplyPatch({patch.data(), patch.size()}, {base.data(), base.size()},
                      [](const unsigned char*, std::size_t) { return true; });
    const double s = Seconds(applyStart);
    best = round == 0 ? s : std::min(best, s);
  }
  std::ofstream(argv[3], std::ios::binary).write(reinterpret_cast<const char*>(patch.data()), patch.size());
  const double larger = static_cast<double>(std::max(base.size(), target.size()));
  std::printf("%10zu %10zu %6.2f%% %8.2fs %5.2fx %7.0f", target.size(), patch.size(),
              target.empty() ? 0.0 : 100.0 * patch.size() / target.size(), seconds,
              larger > 0 ? peak / larger : 0.0, best > 0 ? target.size() / best / 1e6 : 0.0);
  return 0;
}
