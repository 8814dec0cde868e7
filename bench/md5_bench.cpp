// MD5 throughput of FileMd5Text against coreutils md5sum on the same file, and
// the peak memory of hashing a large file. Prints figures; judges nothing.
//
//   md5_bench [work-folder] [size-MiB] [rounds]
//
// Figures: MB/s (10^6 bytes per second) of each, by wall clock and by CPU
// time, best of the rounds, with the file in the page cache; their ratio
// (md5sum time / FileMd5Text time, above 1 when FileMd5Text is faster); the
// peak resident size of a fresh process that hashes a 1 GiB file, next to one
// that hashes an empty file; a digest check against md5sum on a 4 GiB + 100
// byte sparse file, past the point where the byte count carries into its high
// word.

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "updater/transfer/md5.h"

namespace {

using Clock = std::chrono::steady_clock;

bool WriteRandomFile(const std::string& path, uint64_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  std::vector<uint64_t> piece(1 << 17);  // 1 MiB
  uint64_t x = 0x9e3779b97f4a7c15ull;
  bool ok = true;
  for (uint64_t left = size; left > 0 && ok;) {
    for (uint64_t& word : piece) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      word = x;
    }
    const std::size_t n = left < (1u << 20) ? static_cast<std::size_t>(left) : (1u << 20);
    ok = std::fwrite(piece.data(), 1, n, file) == n;
    left -= n;
  }
  return std::fclose(file) == 0 && ok;
}

// A file of size bytes that holds only tail bytes at its end; the rest is a hole.
bool WriteSparseFile(const std::string& path, uint64_t size, const std::string& tail) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool ok = fseeko(file, static_cast<off_t>(size - tail.size()), SEEK_SET) == 0 &&
            std::fwrite(tail.data(), 1, tail.size(), file) == tail.size();
  return std::fclose(file) == 0 && ok;
}

std::string Md5sum(const std::string& path) {
  const std::string command = "timeout 600 md5sum '" + path + "'";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return std::string();
  char line[1024] = {};
  const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
  pclose(pipe);
  return got ? std::string(line).substr(0, 32) : std::string();
}

// CPU seconds (user and system) used so far by this process (RUSAGE_SELF) or
// by its waited-for children and their descendants (RUSAGE_CHILDREN).
double CpuSeconds(int who) {
  struct rusage usage = {};
  getrusage(who, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The peak resident size of this process, in KiB (VmHWM).
long PeakKiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status)) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib;
}

// Peak resident size, in KiB, of a fresh process (this program, started
// again) that hashes path. A forked child would inherit this process's peak.
long ChildPeakKiB(const std::string& path) {
  const std::string command = "/proc/" + std::to_string(getpid()) + "/exe --peak '" + path + "'";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  long kib = -1;
  if (std::fscanf(pipe, "%ld", &kib) != 1) kib = -1;
  pclose(pipe);
  return kib;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--peak") {
    const bool hashed = !FileMd5Text(argv[2]).empty();
    std::printf("%ld\n", hashed ? PeakKiB() : -1L);
    return 0;
  }
  const std::string folder = argc > 1 ? argv[1] : "/tmp";
  const uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 256;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  const std::string big = folder + "/md5_bench_" + std::to_string(getpid()) + ".bin";
  const uint64_t size = mib << 20;

  std::printf("writing %llu MiB of random data to %s\n", static_cast<unsigned long long>(mib),
              big.c_str());
  if (!WriteRandomFile(big, size)) {
    std::fprintf(stderr, "cannot write %s\n", big.c_str());
    return 1;
  }
  Md5sum(big);  // brings the file into the page cache

  // Wall-clock and CPU time, best of the rounds; on a busy machine the CPU
  // time is the steadier figure.
  double ours = 1e30, theirs = 1e30, oursCpu = 1e30, theirsCpu = 1e30;
  std::string ourDigest, theirDigest;
  for (int round = 0; round < rounds; ++round) {
    Clock::time_point start = Clock::now();
    double cpu = CpuSeconds(RUSAGE_SELF);
    ourDigest = FileMd5Text(big);
    const double a = Seconds(start), aCpu = CpuSeconds(RUSAGE_SELF) - cpu;
    start = Clock::now();
    cpu = CpuSeconds(RUSAGE_CHILDREN);
    theirDigest = Md5sum(big);
    const double b = Seconds(start), bCpu = CpuSeconds(RUSAGE_CHILDREN) - cpu;
    std::printf("round %d: FileMd5Text %.3f s (cpu %.3f s), md5sum %.3f s (cpu %.3f s)\n",
                round + 1, a, aCpu, b, bCpu);
    if (a < ours) ours = a;
    if (b < theirs) theirs = b;
    if (aCpu < oursCpu) oursCpu = aCpu;
    if (bCpu < theirsCpu) theirsCpu = bCpu;
  }
  const double mb = static_cast<double>(size) / 1e6;
  std::printf("digest %s, md5sum %s: %s\n", ourDigest.c_str(), theirDigest.c_str(),
              ourDigest == theirDigest ? "equal" : "DIFFERENT");
  std::printf("wall clock: FileMd5Text %.0f MB/s, md5sum %.0f MB/s, ratio %.3f (best of %d)\n",
              mb / ours, mb / theirs, theirs / ours, rounds);
  std::printf("cpu time:   FileMd5Text %.0f MB/s, md5sum %.0f MB/s, ratio %.3f (best of %d)\n",
              mb / oursCpu, mb / theirsCpu, theirsCpu / oursCpu, rounds);
  std::remove(big.c_str());

  // Peak memory: a 1 GiB file against an empty one, each in a fresh child.
  const std::string gib = folder + "/md5_bench_" + std::to_string(getpid()) + "_1g.bin";
  const std::string empty = folder + "/md5_bench_" + std::to_string(getpid()) + "_0.bin";
  if (WriteRandomFile(gib, uint64_t{1} << 30) && WriteRandomFile(empty, 0)) {
    const long peakEmpty = ChildPeakKiB(empty);
    const long peakGib = ChildPeakKiB(gib);
    std::printf("peak resident size: hashing 1 GiB %.1f MiB, hashing an empty file %.1f MiB,"
                " difference %.1f MiB\n",
                peakGib / 1024.0, peakEmpty / 1024.0, (peakGib - peakEmpty) / 1024.0);
  }
  std::remove(gib.c_str());
  std::remove(empty.c_str());

  // Past 4 GiB the byte count carries into its high word.
  const std::string sparse = folder + "/md5_bench_" + std::to_string(getpid()) + "_4g.bin";
  if (WriteSparseFile(sparse, (uint64_t{4} << 30) + 100, std::string(100, 'z'))) {
    const std::string a = FileMd5Text(sparse);
    const std::string b = Md5sum(sparse);
    std::printf("4 GiB + 100 byte sparse file: FileMd5Text %s, md5sum %s: %s\n", a.c_str(),
                b.c_str(), a == b && !a.empty() ? "equal" : "DIFFERENT");
  }
  std::remove(sparse.c_str());
  return 0;
}
