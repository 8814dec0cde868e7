// `torvane-publish report` over generated access logs of outcome reports: for
// each length given, writes a log of that many lines (the README's short
// format, one line in sixteen in nginx's combined format, one in a hundred a
// request that is no report), runs the tool on it as a publisher would, and
// prints lines per second and the tool's peak memory. Prints figures; judges
// nothing (scripts/bench-report.sh). The goal: a million lines a second on
// one core, and the same peak memory for every length.
//
//   report_bench <torvane-publish> <work folder> <lines>...

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char* const kOutcomes[] = {"updated", "updated", "updated", "failed", "cancelled", "current"};
const char* const kSteps[] = {"download", "digest", "manifest", "install"};
const char* const kWindows[] = {"10.0.19045", "10.0.22631", "6.1.7601", "10.0.26100"};

// A small generator of our own, so that every run writes the same log.
struct Random {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint64_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

bool WriteLog(const std::string& path, uint64_t lines) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  Random random;
  char line[512];
  for (uint64_t i = 0; i < lines; ++i) {
    const uint64_t r = random.Next();
    const int second = static_cast<int>(i * 86400 * 30 / lines);
    char time[40];
    std::snprintf(time, sizeof time, "%02d/Dec/2026:%02d:%02d:%02d +0000", 1 + second / 86400, second / 3600 % 24,
                  second / 60 % 60, second % 60);
    if (r % 100 == 0) {
      std::snprintf(line, sizeof line, "[%s] \"GET /HistoryVersionList.cfg HTTP/1.1\" 200\n", time);
    } else {
      const char* outcome = kOutcomes[r % 6];
      const bool failed = outcome[0] == 'f';
      const int from = 100 + static_cast<int>(r >> 8) % 4 * 100;
      std::snprintf(line, sizeof line,
                    "%s[%s] \"GET /report?v=1&from=%d&to=500&outcome=%s&step=%s&error=%s&ms=%llu&files=%d"
                    "&bytes=%llu&patched=%d&os=%s&age=0 HTTP/1.1\" 204%s\n",
                    r % 16 == 1 ? "192.0.2.7 - - " : "", time, from, outcome, failed ? kSteps[(r >> 12) % 4] : "",
                    failed ? "404" : "", static_cast<unsigned long long>(1000 + (r >> 20) % 60000),
                    static_cast<int>(r >> 40) % 50, static_cast<unsigned long long>((r >> 24) % 90000000),
                    static_cast<int>(r >> 50) % 5, kWindows[(r >> 30) % 4], r % 16 == 1 ? " 0 \"-\" \"-\"" : "");
    }
    if (std::fputs(line, file) < 0) {
      std::fclose(file);
      return false;
    }
  }
  return std::fclose(file) == 0;
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Runs tool report log, its output to /dev/null: wall and processor seconds
// (on a shared machine the second is the one-core figure) and peak memory (KiB).
bool RunReport(const std::string& tool, const std::string& log, double& seconds, double& cpu, long& peakKib) {
  const auto start = std::chrono::steady_clock::now();
  std::fflush(stdout);
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    if (!std::freopen("/dev/null", "w", stdout)) _exit(126);
    execl(tool.c_str(), tool.c_str(), "report", log.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (wait4(child, &status, 0, &usage) != child) return false;
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  peakKib = usage.ru_maxrss;
  cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: report_bench <torvane-publish> <work folder> <lines>...\n");
    return 2;
  }
  std::printf("%12s %10s %10s %10s %16s %12s\n", "lines", "log MiB", "wall s", "cpu s", "lines/cpu s", "peak MiB");
  for (int i = 3; i < argc; ++i) {
    const uint64_t lines = std::strtoull(argv[i], nullptr, 10);
    const std::string log = std::string(argv[2]) + "/report-" + argv[i] + ".log";
    if (!WriteLog(log, lines)) {
      std::fprintf(stderr, "cannot write %s\n", log.c_str());
      return 1;
    }
    std::FILE* f = std::fopen(log.c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    const double mib = static_cast<double>(std::ftell(f)) / 1048576.0;
    std::fclose(f);
    double seconds = 0, cpu = 0;
    long peakKib = 0;
    if (!RunReport(argv[1], log, seconds, cpu, peakKib)) {
      std::fprintf(stderr, "%s report %s failed\n", argv[1], log.c_str());
      return 1;
    }
    std::printf("%12llu %10.1f %10.2f %10.2f %16.0f %12.1f\n", static_cast<unsigned long long>(lines), mib, seconds,
                cpu, static_cast<double>(lines) / cpu, static_cast<double>(peakKib) / 1024.0);
    std::remove(log.c_str());
  }
  return 0;
}
