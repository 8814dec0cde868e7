// The publisher's side of a patch: makes the patch from base to target, writes
// it, and prints one line: full size, patch size, ratio, diff time (seconds).
// Prints figures; judges nothing (scripts/bench-deltas.sh).
//
//   delta_bench <base> <target> <patch-out>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "tools/publish/delta_encoder.h"

namespace {

bool ReadAll(const char* path, std::vector<unsigned char>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
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
  const auto start = std::chrono::steady_clock::now();
  if (!delta::MakePatch(base, target, patch)) {
    std::fprintf(stderr, "no patch made\n");
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!delta::PatchMakesTarget(patch, base, target)) {
    std::fprintf(stderr, "the patch does not make the target\n");
    return 1;
  }
  std::ofstream(argv[3], std::ios::binary).write(reinterpret_cast<const char*>(patch.data()), patch.size());
  std::printf("%10zu %10zu %6.2f%% %8.2fs", target.size(), patch.size(),
              target.empty() ? 0.0 : 100.0 * patch.size() / target.size(), seconds);
  return 0;
}
